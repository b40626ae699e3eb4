// Parsers of what a browser or a script puts into a read request: a Range
// header and the numbers of query arguments.  Pure functions, fuzzed.
#ifndef OSTRELD_HTTP_INPUT_H
#define OSTRELD_HTTP_INPUT_H

#include <cstdint>
#include <string_view>

namespace ostreld {

enum class RangeResult { whole, partial, unsatisfiable };

// Reads a Range header (HEADER, may be null) for a body of SIZE bytes.  One
// "bytes=A-B", "bytes=A-" or "bytes=-N" range is honoured (partial, with
// *FIRST and *LAST inclusive); a range starting at or beyond SIZE is
// unsatisfiable; anything else (other units, several ranges, malformed
// text) asks for the whole body, as a server may.
RangeResult parse_range(const char *header, std::uint64_t size, std::uint64_t *first,
                        std::uint64_t *last);

// Parses TEXT (may be null) as a decimal number from MIN to MAX; false when
// it is absent or not one.
bool parse_query_number(const char *text, long long min, long long max, long long *value);

}  // namespace ostreld

#endif  // OSTRELD_HTTP_INPUT_H
