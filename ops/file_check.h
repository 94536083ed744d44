#pragma once

class OperatorConsole;

// Checks the chosen file before the port is touched. False after writing the reason to the
// status line; a download file that exists but cannot be read raises a FileError.
bool CheckImageFile(OperatorConsole &console, int mode);
