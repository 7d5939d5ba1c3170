// What a file is when it is not an image that can be sent: another firmware format, a program,
// an archive or text; and why a path could not be opened as a file. These only add words to a
// refusal that the image reader (or the opening of the file) has already made: the reader's own
// results and texts stand as they are.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "image/image_reader.h"

namespace vantor {

// Formats that are sent to other boot loaders, or that a user picks up by mistake.
enum class ForeignKind {
    kNone,      // none of the kinds below: perhaps a damaged Orrim image
    kIntelHex,  // ":" records of hexadecimal digits
    kSRecord,   // Motorola "S0" to "S9" records
    kElf,       // an ELF program or object ("\x7fELF")
    kZip,       // a ZIP archive ("PK\x03\x04", or an empty one)
    kGzip,      // gzip-compressed data ("\x1f\x8b", deflate)
    kText,      // mostly printable ASCII or UTF-8 text, with at least one line end
};

// How many bytes from the start of a file the kinds are told by.
inline constexpr std::size_t kKindSampleBytes = 4096;

// The kind that the first bytes of a file show, `start` being at most kKindSampleBytes of them
// and `whole` telling that they are the whole file (so a last line need not end). Looks at the
// bytes only: an Orrim image has no magic of its own, and its header may happen to look like any
// of these, so this alone never says that a file is not an Orrim image.
ForeignKind KindOfBytes(std::string_view start, bool whole);

// The kind of a file that the reader refused (header or packets, the drive's revision aside),
// read from `file` from its start (the reading position is left anywhere). kNone for a file
// whose first packet begins with the BOP word where the header puts it: that is an Orrim image,
// damaged further on, whatever its first bytes look like.
ForeignKind KindOfRefusedImage(ImageFile& file);
// The same for the file at `path`; kNone when it cannot be opened.
ForeignKind KindOfRefusedImage(const std::string& path);

// "an Intel HEX file"; empty for kNone.
std::string KindName(ForeignKind kind);
// "this is an Intel HEX file, not an Orrim image"; empty for kNone.
std::string NotAnImageText(ForeignKind kind);

// Why `path` could not be opened as a file for reading, in the system's words ("No such file or
// directory", "Permission denied"), or what it is instead ("it is a folder, not a file").
// `open_error` is the errno that the failed open left (0 when it gave none).
std::string OpenProblem(const std::string& path, int open_error);

}  // namespace vantor
