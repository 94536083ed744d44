#pragma once

#include <QtGlobal>

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

// The mode list's items, in index order.
inline constexpr const char *TransferModeNames[TransferModeCount] = {
    "Download Software", "Download Data",   "Download Default", "Download Loader",
    "Download All",      "Upload Software", "Upload Data",      "Upload Default",
};

// Every index above 4 is an upload; anything else is a download.
constexpr bool IsUpload(int mode) {
    return mode > 4;
}

// The exact size in bytes of a mode's image; 0 for an index outside the table.
constexpr qint32 ImageSize(int mode) {
    constexpr qint32 sizes[TransferModeCount] = {0x1A0000, 0x40000,  0x20000, 0x20000,
                                                 0x1E0000, 0x1A0000, 0x40000, 0x20000};
    return mode >= 0 && mode < TransferModeCount ? sizes[mode] : 0;
}
