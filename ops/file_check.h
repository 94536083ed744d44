#pragma once

class OperatorConsole;

// The reasons the check gives for refusing a file.
inline constexpr const char *FileRefusalTexts[] = {
    "Can not open download file!",
    "Find an error, when opening this file, maybe it inexistent!",
    "File wrong!",
    "Can not open Upload file!",
};
enum FileRefusal { NoDownloadFile, MissingDownloadFile, WrongLength, NoUploadFile };

// Checks the chosen file before the port is touched. False after writing the reason to the
// status line; a download file that exists but cannot be read raises a FileError.
bool CheckImageFile(OperatorConsole &console, int mode);
