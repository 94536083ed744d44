#include "link/command_code.h"

namespace {
constexpr const char *Letters[CommandCodeCount] = {
    "TSPO", "TDPO", "TFPO", "TLPO", "TAPO", "TKPO", "TGPO", "RSPO", "RDPO", "RFPO", "RLPO",
    "RAPO", "RKPO", "RGPO", "RRFD", "RRSS", "RCVF", "RCVS", "REFF", "REFS", "RWFF", "RWFS",
};
} // namespace

QByteArray CommandText(int code) {
    QByteArray text("KZVN");
    if (code >= 0 && code < CommandCodeCount)
        text += Letters[code];
    return text;
}
