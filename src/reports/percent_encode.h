// Encoding of report bodies into plain ASCII.
//
// Invariants: the result holds only ASCII letters, digits and '%', and its length is the
// input's length plus 2 for every byte that is not an ASCII letter or digit. The function
// keeps no state and borrows the input only for the call.

#ifndef MIRTO_REPORTS_PERCENT_ENCODE_H
#define MIRTO_REPORTS_PERCENT_ENCODE_H

#include <cstdint>
#include <string>

namespace mirto {

// Keeps ASCII letters and digits; writes every other byte as '%' and two lower-case hex
// digits. A null input or a count of 0 or less gives the empty string.
std::string PercentEncode(const unsigned char* bytes, std::int32_t count);

}  // namespace mirto

#endif  // MIRTO_REPORTS_PERCENT_ENCODE_H
