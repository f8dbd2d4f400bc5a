// The form in which a UTF-16 value enters a report: its UTF-8 bytes. Portable, so that the
// builders give the same text wherever they run. A code unit that is half of a surrogate pair
// without its other half becomes U+FFFD, as the platform's own conversion makes it.
#ifndef MIRTO_REPORTS_REPORT_TEXT_H
#define MIRTO_REPORTS_REPORT_TEXT_H

#include <string>

namespace mirto {

// Each wchar_t is taken as one UTF-16 code unit; where wchar_t is wider, a value above
// U+FFFF is taken as that code point.
std::string ReportText(const std::wstring& wide);

}  // namespace mirto

#endif  // MIRTO_REPORTS_REPORT_TEXT_H
