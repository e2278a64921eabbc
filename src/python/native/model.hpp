// The Python objects of the mave extension and what they share with work
// that runs without the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "format/embeddings.hpp"
#include "search/nearest.hpp"
#include "static/static_model.hpp"

namespace mave::native {

// A loaded file. Immutable once built; calls that release the interpreter
// lock hold a shared_ptr to it, so it outlives every such call even when the
// last Python reference goes away meanwhile.
struct Model {
  Model(Embeddings loaded, std::string file_path)
      : embeddings(std::move(loaded)), path(std::move(file_path)), search(embeddings) {}
  // A static sentence model's folder: its tokens and table are the
  // embeddings; the rest says how texts are pooled.
  Model(StaticModel loaded, std::string folder)
      : embeddings(std::move(loaded.embeddings)),
        path(std::move(folder)),
        static_facts(std::move(loaded.facts)),
        search(embeddings) {}

  Embeddings embeddings;
  std::string path;  // file-system encoded, as opened
  std::optional<StaticFacts> static_facts;
  // Refers to `embeddings`, declared before it: built after it, destroyed first.
  NearestSearch search;

  std::size_t dims() const { return embeddings.dims(); }
  std::size_t n_words() const { return embeddings.vocab().n_words(); }
};

struct EmbeddingsObject {
  PyObject_HEAD std::shared_ptr<const Model> model;
  PyObject* path;  // str, as given
};

// The questions of one search, owned by a mave._native.Questions object:
// checked when it was made, immutable after.
struct SearchQuestions {
  std::vector<float> terms;  // n_terms x dims
  std::size_t n_terms = 0, dims = 0;
  std::vector<std::uint32_t> positive, negative, term_of;
  std::vector<std::size_t> exclude, exclude_offsets;

  Questions view() const { return {terms, positive, negative, exclude, exclude_offsets, term_of}; }
  std::size_t count() const { return view().count(n_terms); }
};

// The type objects, created at module initialisation; borrowed.
PyTypeObject* embeddings_type();

bool init_embeddings_type(PyObject* module);
bool init_words_type(PyObject* module);
bool init_questions_type(PyObject* module);

// The questions held by a Questions object; null with TypeError set for
// anything else. Borrowed from the object, which the caller keeps alive.
const SearchQuestions* search_questions(PyObject* obj);

// A Words sequence over the vocabulary of `owner` (an Embeddings object).
PyObject* new_words(PyObject* owner);

// The model of an Embeddings object (type already checked).
inline const Model& model_of(PyObject* self) { return *reinterpret_cast<EmbeddingsObject*>(self)->model; }

// A new str from UTF-8 text of the file (validated when it was read).
PyObject* str_from_utf8(std::string_view text);

}  // namespace mave::native
