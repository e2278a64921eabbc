// Reading compressed files as the bytes they hold: gzip (zlib), bzip2
// (libbz2), xz (liblzma) and one member of a zip archive (stored or deflated,
// through zlib), each
// recognised from the file's first bytes, whatever its name.
//
// Decompression streams: only the decompressor's window and the reader's
// buffer are held, never the decompressed file. Damaged data (a bad header,
// a failed check, a stream that ends early) reads as an InvalidData or
// UnexpectedEof I/O error that says which compression found it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "base/io.hpp"

namespace mave {

enum class Compression { None, Gzip, Bzip2, Xz, Zip };

// "gzip", "bzip2", "xz", "zip"; "" for None.
std::string_view compression_name(Compression c);

// The compression whose signature starts `head` (the file's first bytes, at
// least 6 of them to tell all apart).
Compression detect_compression(std::span<const unsigned char> head);

// A reader of the bytes the file holds, decompressed when its first bytes
// say so. `member` names the zip member to read; without it an archive must
// hold exactly one file. An empty or unreadable file reads as it is.
// Failures: the I/O error of the file, or an InvalidInput error naming the
// missing member (with the members the archive holds).
IoResult<BufferedReader> open_decompressed(File file, std::string_view member = {},
                                           std::size_t capacity = kStreamBufferBytes);

// The files of a zip archive, in the order of its directory.
IoResult<std::vector<std::string>> zip_members(const File& file);

}  // namespace mave
