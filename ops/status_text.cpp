#include "ops/status_text.h"

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
constexpr unsigned TextCount = sizeof(Texts) / sizeof(Texts[0]);
} // namespace

QString StatusText(int code) {
    return unsigned(code) < TextCount ? QString::fromLatin1(Texts[unsigned(code)]) : QString();
}
