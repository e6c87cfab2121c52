#include "view_style.hpp"

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <langinfo.h>
#include <string>

namespace vboard {

namespace {

bool set_and_not_empty(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// The user's LC_CTYPE asked for and put back, so that the rest of vboard
// keeps the "C" locale it parses numbers and formats messages in.
bool locale_is_utf8()
{
    const char* current = std::setlocale(LC_CTYPE, nullptr);
    const std::string saved = current != nullptr ? current : "C";
    bool utf8 = false;
    if (std::setlocale(LC_CTYPE, "") != nullptr) {
        utf8 = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    }
    std::setlocale(LC_CTYPE, saved.c_str());
    return utf8;
}

} // namespace

ViewStyle choose_view_style(ColorMode mode, bool terminal)
{
    ViewStyle style;
    style.utf8 = locale_is_utf8();
    switch (mode) {
    case ColorMode::always:
        style.escapes = true;
        break;
    case ColorMode::never:
        style.escapes = false;
        break;
    case ColorMode::automatic: {
        const char* term = std::getenv("TERM");
        style.escapes = terminal && !set_and_not_empty("NO_COLOR") && (term == nullptr || std::strcmp(term, "dumb") != 0);
        break;
    }
    }
    return style;
}

} // namespace vboard
