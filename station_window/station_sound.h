#pragma once

struct ca_context;

// The station's two sounds, from the desktop's own sound theme: one when a board fails, another
// when a batch ends. Playing never waits: the sound server plays it while the boards go on. Where
// no sound server or theme is there, nothing is heard and nothing else changes.
class StationSound {
public:
    StationSound();
    ~StationSound();
    StationSound(const StationSound &) = delete;
    StationSound &operator=(const StationSound &) = delete;

    void setEnabled(bool enabled) { enabled_ = enabled; }
    bool enabled() const { return enabled_; }

    void boardFailed();
    void batchEnded();

private:
    void play(unsigned id, const char *event, const char *description);

    struct ca_context *context_ = nullptr;
    bool enabled_ = true;
};
