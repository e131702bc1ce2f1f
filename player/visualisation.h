// The player's picture of the captured sound: the sinks' blocks kept in a short history, an
// oscilloscope of both channels and a spectrum analyser with slowly falling peaks, painted
// into any device context, and a child window that repaints it about 30 times a second.
#pragma once

#include <windows.h>

#include <complex>
#include <mutex>

namespace vis {

constexpr int kBlockFrames = 576; // every sink block: 576 frames of 16-bit stereo, left first
constexpr int kBlockBytes = kBlockFrames * 4;
constexpr int kSampleRate = 44100;
// The spectrum is taken from each block alone: the plug-in hands on every block whole, but
// under Wine about a third of them do not go on where the one before ended (sound is lost
// while both capture buffers wait for the capture thread), and a transform across such a seam
// would smear every tone over the whole spectrum. One block resolves about 77 Hz; a tone lights one band from
// about 1.7 kHz up, and a few neighbours below.
constexpr int kFftSize = 2048;       // one block zero-padded, for a smooth reading between bins
constexpr int kAveragedBlocks = 3;   // the spectrum shows the mean power of the newest three
constexpr int kHistoryFrames = 2048; // the newest frames: the oscilloscope's, and those blocks
constexpr int kRingBlocks = 4;       // 2304 frames, enough for the history
constexpr int kBands = 32;
constexpr double kLowestHz = 40, kHighestHz = 16000;
constexpr double kFloorDb = -66;  // the bottom of the spectrum; 0 dB is a full-scale sine
constexpr DWORD kStaleMs = 500;   // no block for this long while playing: capture is off

enum class State { kStopped, kPlaying, kPaused };

// Band of a frequency on the logarithmic axis (may fall outside 0..kBands-1), and the middle
// of a band.
int BandOf(double hz);
double BandCentreHz(int band);

class Visualisation {
public:
    Visualisation();
    ~Visualisation();
    Visualisation(const Visualisation&) = delete;
    Visualisation& operator=(const Visualisation&) = delete;

    // Capture thread, from the sinks, with the plug-in's capture lock held: copies the
    // block and returns.
    void Intake(const void* block);

    // The window's thread. `now` is a tick count in ms: the caller's clock.
    void SetState(State state, DWORD now);
    void Update(DWORD now); // takes the newest frames and moves bars and peaks
    void Paint(HDC dc, const RECT& area) const;

    // Where the spectrum's bars stand in a picture of `area`, for those who read it back.
    static RECT SpectrumPlot(const RECT& area);
    static RECT BandBar(const RECT& area, int band);

private:
    void Analyse(double seconds);
    void PaintScope(HDC dc, const RECT& box) const;
    void PaintSpectrum(HDC dc, const RECT& area) const;
    const char* Notice(DWORD now) const;

    // Shared with the capture thread: the ring and its count, under `lock_`.
    mutable std::mutex lock_;
    short ring_[kRingBlocks][kBlockFrames * 2] = {};
    unsigned added_ = 0;

    // The window's thread only.
    State state_ = State::kStopped;
    DWORD state_tick_ = 0, fresh_tick_ = 0, last_update_ = 0, rate_tick_ = 0;
    unsigned seen_ = 0, seen_at_state_ = 0, rate_count_ = 0;
    int blocks_per_second_ = 0;
    bool showing_ = false;
    DWORD now_ = 0;
    short frames_[kHistoryFrames * 2] = {};
    std::complex<float> fft_[kFftSize];
    float power_[kFftSize / 2 + 1];
    float bar_db_[kBands], peak_db_[kBands];
    DWORD peak_hold_until_[kBands] = {};
    HFONT small_font_, notice_font_;
};

// The child window that shows a Visualisation: registers its class ("TessarinVisualisation")
// once, and makes a panel that updates and repaints itself about 30 times a second.
HWND CreatePanel(HWND parent, int id, const RECT& where, Visualisation* shown);

} // namespace vis
