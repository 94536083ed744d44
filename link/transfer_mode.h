#pragma once

#include <QtGlobal>

#include <iterator>

// The item index of the mode list: five downloads, then three uploads.
enum class TransferMode : int {
    DownloadSoftware,
    DownloadData,
    DownloadDefault,
    DownloadLoader,
    DownloadAll,
    UploadSoftware,
    UploadData,
    UploadDefault,
};

inline constexpr int TransferModeCount = 8;

constexpr bool IsTransferMode(TransferMode mode) {
    return unsigned(mode) < unsigned(TransferModeCount);
}

// The mode list's items, in index order.
inline constexpr const char *TransferModeNames[] = {
    "Download Software", "Download Data",   "Download Default", "Download Loader",
    "Download All",      "Upload Software", "Upload Data",      "Upload Default",
};
static_assert(std::size(TransferModeNames) == TransferModeCount);

constexpr const char *ModeName(TransferMode mode) {
    return IsTransferMode(mode) ? TransferModeNames[int(mode)] : "";
}

// Every index above 4 is an upload; anything else is a download.
constexpr bool IsUpload(TransferMode mode) {
    return int(mode) > 4;
}

// The exact size in bytes of a mode's image; 0 for a value outside the mode list.
constexpr qint32 ImageSize(TransferMode mode) {
    constexpr qint32 sizes[] = {0x1A0000, 0x40000,  0x20000, 0x20000,
                                0x1E0000, 0x1A0000, 0x40000, 0x20000};
    static_assert(std::size(sizes) == TransferModeCount);
    return IsTransferMode(mode) ? sizes[int(mode)] : 0;
}
