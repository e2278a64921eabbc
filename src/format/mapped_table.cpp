#include "format/mapped_table.hpp"

#include <bit>
#include <cstring>

#include "base/error.hpp"

namespace mave {

static_assert(std::endian::native == std::endian::little,
              "table elements are read as stored, which needs a little-endian host");

float float_from_f16(std::uint16_t bits) {
  // Without branches, so that the loops over a row vectorise: a normal number
  // moves its exponent from bias 15 to bias 127; infinities and NaNs keep an
  // exponent of all ones (and their payload); zeros and subnormals are
  // mantissa x 2^-24, exact in float32 and computed without float32
  // subnormals (which a flush-to-zero mode would lose).
  const std::uint32_t sign = std::uint32_t{bits & 0x8000u} << 16;
  const std::uint32_t magnitude = bits & 0x7fffu;
  const std::uint32_t normal = (magnitude << 13) + 0x38000000u;
  const std::uint32_t special = (magnitude << 13) | 0x7f800000u;
  const std::uint32_t small = std::bit_cast<std::uint32_t>(static_cast<float>(magnitude) * 0x1p-24f);
  const std::uint32_t out = magnitude >= 0x7c00u ? special : magnitude >= 0x0400u ? normal : small;
  return std::bit_cast<float>(out | sign);
}

std::size_t element_bytes(TableElement element) {
  switch (element) {
    case TableElement::F32:
      return 4;
    case TableElement::F16:
    case TableElement::BF16:
      return 2;
    case TableElement::I8:
      return 1;
  }
  return 1;
}

namespace {

// Element j of a row as float32. Loads go through memcpy: a float32 table
// need not be aligned, and no element is wider than its bytes.
template <TableElement E>
inline float element(const std::byte* row, std::size_t j) {
  if constexpr (E == TableElement::F32) {
    float v;
    std::memcpy(&v, row + 4 * j, 4);
    return v;
  } else if constexpr (E == TableElement::I8) {
    return static_cast<float>(static_cast<std::int8_t>(row[j]));
  } else {
    std::uint16_t bits;
    std::memcpy(&bits, row + 2 * j, 2);
    if constexpr (E == TableElement::F16) {
      return float_from_f16(bits);
    } else {
      return float_from_bf16(bits);
    }
  }
}

// out[j] = value[j] (x weight), each product rounded to float32.
template <TableElement E>
void convert(const std::byte* row, std::size_t n, const float* weight, float* out) {
  if (weight == nullptr) {
    for (std::size_t j = 0; j < n; ++j) out[j] = element<E>(row, j);
  } else {
    const float w = *weight;
    for (std::size_t j = 0; j < n; ++j) out[j] = element<E>(row, j) * w;
  }
}

// acc[j] = acc[j] + value[j] (x weight): the value (or product) is rounded to
// float32 first, then added, as adding the converted row would.
template <TableElement E>
void accumulate(const std::byte* row, std::size_t n, const float* weight, float* acc) {
  if (weight == nullptr) {
    for (std::size_t j = 0; j < n; ++j) acc[j] = acc[j] + element<E>(row, j);
  } else {
    const float w = *weight;
    for (std::size_t j = 0; j < n; ++j) acc[j] = acc[j] + element<E>(row, j) * w;
  }
}

template <class F>
void dispatch(TableElement element, F&& f) {
  switch (element) {
    case TableElement::F32:
      f.template operator()<TableElement::F32>();
      return;
    case TableElement::F16:
      f.template operator()<TableElement::F16>();
      return;
    case TableElement::BF16:
      f.template operator()<TableElement::BF16>();
      return;
    case TableElement::I8:
      f.template operator()<TableElement::I8>();
      return;
  }
}

}  // namespace

MappedTable::MappedTable(TableElement element, std::size_t table_rows, std::size_t cols, Mapping values,
                         std::vector<std::uint32_t> token_rows, std::vector<float> weights)
    : element_(element),
      table_rows_(table_rows),
      cols_(cols),
      tokens_(token_rows.empty() ? table_rows : token_rows.size()),
      values_(std::move(values)),
      token_rows_(std::move(token_rows)),
      weights_(std::move(weights)) {}

std::size_t MappedTable::stored_bytes() const {
  return table_rows_ * bytes_per_row() + token_rows_.size() * sizeof(std::uint32_t) +
         weights_.size() * sizeof(float);
}

std::size_t MappedTable::table_row(std::size_t i) const {
  check_index(i, tokens_);
  if (token_rows_.empty()) return i;
  const std::size_t r = token_rows_[i];
  check_index(r, table_rows_);  // checked at load; kept for a table built otherwise
  return r;
}

void MappedTable::row_into(std::size_t i, float* out) const {
  const std::byte* row = row_bytes(table_row(i));
  const float* weight = weights_.empty() ? nullptr : &weights_[i];
  dispatch(element_, [&]<TableElement E>() { convert<E>(row, cols_, weight, out); });
}

void MappedTable::rows_into(std::size_t begin, std::size_t n, float* out) const {
  if (n == 0) return;
  check_index(begin, tokens_);
  check_index(n - 1, tokens_ - begin);
  dispatch(element_, [&]<TableElement E>() {
    for (std::size_t k = 0; k < n; ++k) {
      const std::size_t i = begin + k;
      const float* weight = weights_.empty() ? nullptr : &weights_[i];
      convert<E>(row_bytes(table_row(i)), cols_, weight, out + k * cols_);
    }
  });
}

void MappedTable::add_row(std::size_t i, float* acc) const {
  const std::byte* row = row_bytes(table_row(i));
  const float* weight = weights_.empty() ? nullptr : &weights_[i];
  dispatch(element_, [&]<TableElement E>() { accumulate<E>(row, cols_, weight, acc); });
}

}  // namespace mave
