#include "ops/status_text.h"

#include <iterator>

namespace {
constexpr const char *Texts[] = {
    "Connectting...",
    "Connect failed!",
    "Connect Success!",
    "Transfer...",
    "Transfer failed!",
    "Transfer Success!",
    "Verify...",
    "Verify failed!",
    "Verify Success!",
    "Erase flash...",
    "Erase flash failed!",
    "Erase flash Success!",
    "Program flash...",
    "Program flash failed!",
    "Program flash Success!",
    "Erase eeprom failed!",
    "Erase eeprom Success!",
    "Update failed!",
    "Update Success!",
    "Set up File failed!",
    "Set up File Success!",
};
static_assert(std::size(Texts) == StatusCodeCount);
} // namespace

QString StatusText(int code) {
    return unsigned(code) < unsigned(StatusCodeCount) ? QString::fromLatin1(Texts[unsigned(code)])
                                                      : QString();
}

std::optional<StatusCode> StatusCodeOf(const QString &text) {
    for (int code = 0; code < StatusCodeCount; ++code)
        if (text == QLatin1String(Texts[code]))
            return StatusCode(code);
    return std::nullopt;
}
