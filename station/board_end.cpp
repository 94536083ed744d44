#include "station/board_end.h"

BoardEnd EndOf(ExitCode code) {
    if (code == ExitCode::Success)
        return BoardEnd::Passed;
    return code == ExitCode::Interrupted ? BoardEnd::Stopped : BoardEnd::Failed;
}
