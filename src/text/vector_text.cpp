#include "text/vector_text.hpp"
