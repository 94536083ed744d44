#include "station_window/station_sound.h"

#ifdef TORVANE_SOUND
#include <canberra.h>
#endif

namespace {

// Each sound has an id of its own: boards failing together cut their sound short rather than
// pile it up.
constexpr unsigned FailedId = 1;
constexpr unsigned EndedId = 2;

} // namespace

StationSound::StationSound() {
#ifdef TORVANE_SOUND
    if (ca_context_create(&context_) != CA_SUCCESS) {
        context_ = nullptr;
        return;
    }
    ca_context_change_props(context_, CA_PROP_APPLICATION_NAME, "torvane station",
                            CA_PROP_APPLICATION_ID, "torvane-station", nullptr);
#endif
}

StationSound::~StationSound() {
#ifdef TORVANE_SOUND
    if (context_)
        ca_context_destroy(context_);
#endif
}

void StationSound::boardFailed() {
    play(FailedId, "dialog-error", "A board failed");
}

void StationSound::batchEnded() {
    play(EndedId, "complete", "The batch has ended");
}

void StationSound::play(unsigned id, const char *event, const char *description) {
#ifdef TORVANE_SOUND
    if (!enabled_ || !context_)
        return;
    ca_context_cancel(context_, id);
    ca_context_play(context_, id, CA_PROP_EVENT_ID, event, CA_PROP_EVENT_DESCRIPTION, description,
                    nullptr);
#else
    (void)id;
    (void)event;
    (void)description;
#endif
}
