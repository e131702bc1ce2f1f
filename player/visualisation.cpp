// The player's oscilloscope and spectrum analyser, fed by the plug-in's sample sinks.
//
// Threads: Intake runs on the plug-in's capture thread while the plug-in holds its capture
// lock, and `Stop` waits for that thread, so Intake only copies the block into the ring under
// `lock_` (held for one 2304-byte copy) and never waits for the window. Everything else runs on
// the window's thread, which copies the newest frames out under the same lock and then works on
// its own copy.
#include "player/visualisation.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vis {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kScopeFrames = 1024;   // 23 ms across the oscilloscope
constexpr int kMaxColumns = 2048;
constexpr int kMaxScopeGain = 16;
constexpr double kBarFallDbPerS = 60; // bars sink within about a second
constexpr double kPeakFallDbPerS = 15; // peaks fall back slowly, after holding
constexpr DWORD kPeakHoldMs = 800;
constexpr int kMargin = 6;
constexpr int kLabelHeight = 13;

const COLORREF kBackground = RGB(14, 16, 22);
const COLORREF kGrid = RGB(34, 38, 50);
const COLORREF kLabel = RGB(120, 126, 142);
const COLORREF kLeftTrace = RGB(80, 220, 120);
const COLORREF kRightTrace = RGB(90, 170, 255);
const COLORREF kPeak = RGB(230, 232, 240);
const COLORREF kNotice = RGB(150, 156, 172); // dimmer than any bar or trace

// Tables for the transform: a Hann window over one block, twiddle factors, and the bins of
// each band.
struct Tables {
    float window[kBlockFrames];
    std::complex<float> twiddle[kFftSize / 2];
    int first_bin[kBands], last_bin[kBands]; // last < first: the band lies between two bins
    Tables()
    {
        for (int i = 0; i < kBlockFrames; ++i)
            window[i] = (float)(0.5 - 0.5 * std::cos(2 * kPi * i / kBlockFrames));
        for (int k = 0; k < kFftSize / 2; ++k)
            twiddle[k] = std::polar(1.0f, (float)(-2 * kPi * k / kFftSize));
        const double bin_hz = (double)kSampleRate / kFftSize;
        const double ratio = std::pow(kHighestHz / kLowestHz, 1.0 / kBands);
        for (int b = 0; b < kBands; ++b) {
            double low = kLowestHz * std::pow(ratio, b), high = low * ratio;
            first_bin[b] = (int)std::ceil(low / bin_hz);
            last_bin[b] = std::min((int)std::ceil(high / bin_hz) - 1, kFftSize / 2 - 1);
        }
    }
};

const Tables& GetTables()
{
    static const Tables tables;
    return tables;
}

// Radix-2 decimation-in-time transform in place. Written here because no FFT library is
// packaged for MinGW on these machines; three of 2048 points 30 times a second need nothing
// faster.
void Fft(std::complex<float>* x)
{
    const Tables& t = GetTables();
    for (int i = 1, j = 0; i < kFftSize; ++i) {
        int bit = kFftSize >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
            std::swap(x[i], x[j]);
    }
    for (int length = 2; length <= kFftSize; length <<= 1) {
        int half = length / 2, stride = kFftSize / length;
        for (int start = 0; start < kFftSize; start += length) {
            for (int k = 0; k < half; ++k) {
                // Multiplied out by hand: the operator checks for infinities at every call.
                std::complex<float> u = x[start + k], a = x[start + k + half], w = t.twiddle[k * stride];
                std::complex<float> v(a.real() * w.real() - a.imag() * w.imag(), a.real() * w.imag() + a.imag() * w.real());
                x[start + k] = u + v;
                x[start + k + half] = u - v;
            }
        }
    }
}

// Power (1 = full-scale sine) at bin k of the louder channel; the transform held the left
// channel as its real part and the right as its imaginary part.
float Power(const std::complex<float>* z, int k)
{
    std::complex<float> a = z[k], b = std::conj(z[(kFftSize - k) % kFftSize]), sum = a + b, difference = a - b;
    // Each 4 times the channel's; written out, as std::norm goes through a square root.
    float left = sum.real() * sum.real() + sum.imag() * sum.imag();
    float right = difference.real() * difference.real() + difference.imag() * difference.imag();
    const float scale = 4.0f / kBlockFrames / 2;               // Hann's gain is 1/2, one side holds half
    return std::max(left, right) * scale * scale;
}

RECT ScopeBox(const RECT& area)
{
    int width = area.right - area.left;
    return {area.left + kMargin, area.top + kMargin, area.left + kMargin + (width - 3 * kMargin) * 2 / 5,
            area.bottom - kMargin};
}

int YOfDb(const RECT& plot, double db)
{
    double fraction = std::clamp((db - kFloorDb) / -kFloorDb, 0.0, 1.0);
    return plot.bottom - (int)std::lround(fraction * (plot.bottom - plot.top));
}

int XOfHz(const RECT& plot, double hz)
{
    return plot.left + (int)std::lround(std::log(hz / kLowestHz) / std::log(kHighestHz / kLowestHz) *
                                        (plot.right - plot.left));
}

// Bar colour by height: green, yellow at 60 %, red at the top.
TRIVERTEX Vertex(int x, int y, double fraction)
{
    auto mix = [](int from, int to, double t) { return (COLOR16)((int)std::lround(from + (to - from) * t) << 8); };
    TRIVERTEX v = {x, y, 0, 0, 0, 0};
    if (fraction <= 0.6) {
        double t = fraction / 0.6;
        v.Red = mix(40, 235, t), v.Green = mix(200, 210, t), v.Blue = mix(90, 60, t);
    } else {
        double t = (fraction - 0.6) / 0.4;
        v.Red = mix(235, 235, t), v.Green = mix(210, 70, t), v.Blue = mix(60, 60, t);
    }
    return v;
}

void Line(HDC dc, int x0, int y0, int x1, int y1)
{
    MoveToEx(dc, x0, y0, nullptr);
    LineTo(dc, x1, y1);
}

} // namespace

int BandOf(double hz)
{
    return (int)std::floor(std::log(hz / kLowestHz) / std::log(kHighestHz / kLowestHz) * kBands);
}

double BandCentreHz(int band)
{
    return kLowestHz * std::pow(kHighestHz / kLowestHz, (band + 0.5) / kBands);
}

Visualisation::Visualisation()
{
    std::fill(bar_db_, bar_db_ + kBands, (float)kFloorDb);
    std::fill(peak_db_, peak_db_ + kBands, (float)kFloorDb);
    small_font_ = CreateFontA(-11, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                              CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, "Tahoma");
    notice_font_ = CreateFontA(-17, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                               CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, "Tahoma");
}

Visualisation::~Visualisation()
{
    DeleteObject(small_font_);
    DeleteObject(notice_font_);
}

void Visualisation::Intake(const void* block)
{
    if (block == nullptr)
        return;
    std::lock_guard<std::mutex> hold(lock_);
    memcpy(ring_[added_ % kRingBlocks], block, kBlockBytes);
    ++added_;
}

void Visualisation::SetState(State state, DWORD now)
{
    if (state == state_)
        return;
    state_ = state;
    state_tick_ = now;
    seen_at_state_ = seen_;
}

void Visualisation::Update(DWORD now)
{
    unsigned added;
    {
        // The newest frames, oldest first: the ring's oldest block loses its head.
        std::lock_guard<std::mutex> hold(lock_);
        added = added_;
        const int skip = kRingBlocks * kBlockFrames - kHistoryFrames;
        short* out = frames_;
        for (int i = 0; i < kRingBlocks; ++i) {
            const short* block = ring_[(added + i) % kRingBlocks];
            int from = i == 0 ? skip : 0;
            memcpy(out, block + 2 * from, (kBlockFrames - from) * 4);
            out += 2 * (kBlockFrames - from);
        }
    }
    double seconds = last_update_ == 0 ? 0 : std::min<DWORD>(now - last_update_, 200) / 1000.0;
    last_update_ = now;
    now_ = now;
    if (added != seen_) {
        fresh_tick_ = now;
        rate_count_ += added - seen_;
        seen_ = added;
    }
    if (now - rate_tick_ >= 1000) {
        blocks_per_second_ = now - rate_tick_ < 2000 ? (int)(rate_count_ * 1000 / (now - rate_tick_)) : 0;
        rate_count_ = 0;
        rate_tick_ = now;
    }
    showing_ = state_ == State::kPlaying && seen_ != seen_at_state_ && now - fresh_tick_ < kStaleMs;
    if (showing_) {
        Analyse(seconds);
    } else {
        std::fill(bar_db_, bar_db_ + kBands, (float)kFloorDb);
        std::fill(peak_db_, peak_db_ + kBands, (float)kFloorDb);
    }
}

void Visualisation::Analyse(double seconds)
{
    const Tables& t = GetTables();
    std::fill(power_, power_ + kFftSize / 2 + 1, 0.0f);
    for (int block = 0; block < kAveragedBlocks; ++block) {
        const short* frames = frames_ + 2 * (kHistoryFrames - (block + 1) * kBlockFrames);
        for (int i = 0; i < kBlockFrames; ++i)
            fft_[i] = {frames[2 * i] * t.window[i] / 32768.0f, frames[2 * i + 1] * t.window[i] / 32768.0f};
        std::fill(fft_ + kBlockFrames, fft_ + kFftSize, std::complex<float>());
        Fft(fft_);
        for (int k = 0; k <= kFftSize / 2; ++k)
            power_[k] += Power(fft_, k) / kAveragedBlocks;
    }
    const double bin_hz = (double)kSampleRate / kFftSize;
    for (int b = 0; b < kBands; ++b) {
        float power = 0;
        if (t.last_bin[b] >= t.first_bin[b]) {
            for (int k = t.first_bin[b]; k <= t.last_bin[b]; ++k)
                power = std::max(power, power_[k]);
        } else { // narrower than a bin: read between the two bins around its middle
            double at = BandCentreHz(b) / bin_hz;
            int k = (int)at;
            float f = (float)(at - k);
            power = power_[k] * (1 - f) + power_[k + 1] * f;
        }
        float db = std::max((float)kFloorDb, 10 * std::log10(std::max(power, 1e-18f)));
        bar_db_[b] = std::max(db, bar_db_[b] - (float)(kBarFallDbPerS * seconds));
        if (bar_db_[b] >= peak_db_[b]) {
            peak_db_[b] = bar_db_[b];
            peak_hold_until_[b] = now_ + kPeakHoldMs;
        } else if ((LONG)(now_ - peak_hold_until_[b]) > 0) {
            peak_db_[b] = std::max(bar_db_[b], peak_db_[b] - (float)(kPeakFallDbPerS * seconds));
        }
    }
}

RECT Visualisation::SpectrumPlot(const RECT& area)
{
    RECT scope = ScopeBox(area);
    return {scope.right + kMargin, area.top + kMargin, area.right - kMargin, area.bottom - kMargin - kLabelHeight};
}

RECT Visualisation::BandBar(const RECT& area, int band)
{
    RECT plot = SpectrumPlot(area);
    double column = (double)(plot.right - plot.left) / kBands;
    int gap = column >= 6 ? 2 : 1;
    return {plot.left + (int)std::lround(band * column), plot.top,
            plot.left + (int)std::lround((band + 1) * column) - gap, plot.bottom};
}

const char* Visualisation::Notice(DWORD now) const
{
    if (showing_)
        return nullptr;
    switch (state_) {
    case State::kStopped:
        return "stopped";
    case State::kPaused:
        return "paused";
    default: // playing: blocks should come within moments of the start
        return now - state_tick_ < kStaleMs ? nullptr : "capture off";
    }
}

void Visualisation::Paint(HDC dc, const RECT& area) const
{
    SetDCBrushColor(dc, kBackground);
    FillRect(dc, &area, (HBRUSH)GetStockObject(DC_BRUSH));
    int saved = SaveDC(dc);
    SetBkMode(dc, TRANSPARENT);
    SelectObject(dc, small_font_);
    PaintScope(dc, ScopeBox(area));
    PaintSpectrum(dc, area);
    if (const char* notice = Notice(now_)) {
        RECT box = area;
        SelectObject(dc, notice_font_);
        SetTextColor(dc, kNotice);
        DrawTextA(dc, notice, -1, &box, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    }
    RestoreDC(dc, saved);
}

void Visualisation::PaintScope(HDC dc, const RECT& box) const
{
    SelectObject(dc, GetStockObject(DC_PEN));
    SetDCPenColor(dc, kGrid);
    int lane = (box.bottom - box.top) / 2;
    int middles[2] = {box.top + lane / 2, box.top + lane + lane / 2};
    SelectObject(dc, GetStockObject(NULL_BRUSH));
    Rectangle(dc, box.left, box.top, box.right, box.bottom);
    for (int middle : middles)
        Line(dc, box.left + 1, middle, box.right - 1, middle);
    SetTextColor(dc, kLabel);
    TextOutA(dc, box.left + 4, box.top + 2, "L", 1);
    TextOutA(dc, box.left + 4, box.top + lane + 2, "R", 1);
    if (!showing_)
        return;

    // Quiet sound is magnified by a power of two up to 16, so that its shape shows; the
    // factor is written beside the block rate.
    int peak = 1;
    for (int i = 0; i < 2 * kHistoryFrames; ++i)
        peak = std::max(peak, std::abs((int)frames_[i]));
    int gain = 1;
    while (gain < kMaxScopeGain && peak * gain * 2 <= 29000)
        gain *= 2;
    char rate[48];
    int n = gain > 1 ? wsprintfA(rate, "x%d   %d blocks/s", gain, blocks_per_second_)
                     : wsprintfA(rate, "%d blocks/s", blocks_per_second_);
    SetTextAlign(dc, TA_RIGHT | TA_TOP);
    TextOutA(dc, box.right - 4, box.top + 2, rate, n);
    SetTextAlign(dc, TA_LEFT | TA_TOP);

    // Start at a rising zero crossing of the left channel, so that a steady tone stands still.
    int start = kHistoryFrames - kScopeFrames;
    bool below = false;
    for (int i = 1; i < kHistoryFrames - kScopeFrames; ++i) {
        below = below || frames_[2 * i - 2] < -peak / 4;
        if (below && frames_[2 * i - 2] < 0 && frames_[2 * i] >= 0) {
            start = i;
            break;
        }
    }
    int columns = std::min<int>(box.right - box.left - 2, kMaxColumns / 2);
    if (columns <= 0)
        return;
    static POINT points[kMaxColumns];
    const COLORREF colours[2] = {kLeftTrace, kRightTrace};
    for (int channel = 0; channel < 2; ++channel) {
        int scale = (lane / 2 - 2) * gain;
        for (int x = 0; x < columns; ++x) {
            // Each column shows the lowest and highest sample it covers.
            int from = start + x * kScopeFrames / columns;
            int to = std::max(from + 1, start + (x + 1) * kScopeFrames / columns);
            int low = 32767, high = -32768;
            for (int i = from; i < to; ++i) {
                low = std::min<int>(low, frames_[2 * i + channel]);
                high = std::max<int>(high, frames_[2 * i + channel]);
            }
            points[2 * x] = {box.left + 1 + x, middles[channel] - high * scale / 32768};
            points[2 * x + 1] = {box.left + 1 + x, middles[channel] - low * scale / 32768};
        }
        SetDCPenColor(dc, colours[channel]);
        Polyline(dc, points, 2 * columns);
    }
}

void Visualisation::PaintSpectrum(HDC dc, const RECT& area) const
{
    RECT plot = SpectrumPlot(area);
    SelectObject(dc, GetStockObject(DC_PEN));
    SetDCPenColor(dc, kGrid);
    for (int db = -12; db > kFloorDb; db -= 12)
        Line(dc, plot.left, YOfDb(plot, db), plot.right, YOfDb(plot, db));
    Line(dc, plot.left, plot.bottom, plot.right, plot.bottom);
    SetTextColor(dc, kLabel);
    SetTextAlign(dc, TA_CENTER | TA_TOP);
    const struct {
        double hz;
        const char* text;
    } ticks[] = {{100, "100"}, {1000, "1k"}, {10000, "10k"}};
    for (const auto& tick : ticks) {
        int x = XOfHz(plot, tick.hz);
        Line(dc, x, plot.bottom, x, plot.bottom + 3);
        TextOutA(dc, x, plot.bottom + 1, tick.text, (int)strlen(tick.text));
    }
    SetTextAlign(dc, TA_LEFT | TA_TOP);
    if (!showing_)
        return;

    // All bars in one gradient call: up to two vertical gradients each (below and above yellow).
    TRIVERTEX vertices[kBands * 4];
    GRADIENT_RECT rects[kBands * 2];
    ULONG nv = 0, nr = 0;
    int height = plot.bottom - plot.top;
    for (int b = 0; b < kBands; ++b) {
        RECT bar = BandBar(area, b);
        double top = std::clamp((bar_db_[b] - kFloorDb) / -kFloorDb, 0.0, 1.0);
        int top_y = YOfDb(plot, bar_db_[b]);
        if (top_y >= plot.bottom)
            continue;
        double knee = std::min(top, 0.6);
        int knee_y = plot.bottom - (int)std::lround(knee * height);
        vertices[nv] = Vertex(bar.left, knee_y, knee);
        vertices[nv + 1] = Vertex(bar.right, plot.bottom, 0);
        rects[nr++] = {nv, nv + 1};
        nv += 2;
        if (top > 0.6) {
            vertices[nv] = Vertex(bar.left, top_y, top);
            vertices[nv + 1] = Vertex(bar.right, knee_y, 0.6);
            rects[nr++] = {nv, nv + 1};
            nv += 2;
        }
    }
    if (nr > 0)
        GradientFill(dc, vertices, nv, rects, nr, GRADIENT_FILL_RECT_V);

    SetDCBrushColor(dc, kPeak);
    for (int b = 0; b < kBands; ++b) {
        int y = YOfDb(plot, peak_db_[b]);
        if (y >= plot.bottom - 1)
            continue;
        RECT bar = BandBar(area, b);
        RECT mark = {bar.left, y - 2, bar.right, y};
        FillRect(dc, &mark, (HBRUSH)GetStockObject(DC_BRUSH));
    }
}

// --- the panel ---------------------------------------------------------------------------

namespace {

constexpr UINT_PTR kFrameTimer = 1;
constexpr UINT kFrameMs = 33; // about 30 pictures a second

LRESULT CALLBACK PanelProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    auto shown = (Visualisation*)GetWindowLongPtrA(window, GWLP_USERDATA);
    switch (message) {
    case WM_NCCREATE:
        SetWindowLongPtrA(window, GWLP_USERDATA, (LONG_PTR)((CREATESTRUCTA*)lparam)->lpCreateParams);
        break;
    case WM_CREATE:
        SetTimer(window, kFrameTimer, kFrameMs, nullptr);
        return 0;
    case WM_TIMER:
        shown->Update(GetTickCount());
        InvalidateRect(window, nullptr, FALSE);
        return 0;
    case WM_ERASEBKGND: // the picture covers every pixel: erasing first would flicker
        return 1;
    case WM_PAINT: {
        // Drawn whole into a memory bitmap, then copied in one go.
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        RECT client;
        GetClientRect(window, &client);
        HDC memory = CreateCompatibleDC(dc);
        HBITMAP bitmap = CreateCompatibleBitmap(dc, client.right, client.bottom);
        HGDIOBJ old = SelectObject(memory, bitmap);
        shown->Paint(memory, client);
        BitBlt(dc, 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
        SelectObject(memory, old);
        DeleteObject(bitmap);
        DeleteDC(memory);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_PRINTCLIENT: {
        RECT client;
        GetClientRect(window, &client);
        shown->Paint((HDC)wparam, client);
        return 0;
    }
    case WM_DESTROY:
        KillTimer(window, kFrameTimer);
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

} // namespace

HWND CreatePanel(HWND parent, int id, const RECT& where, Visualisation* shown)
{
    static ATOM registered = 0;
    HINSTANCE instance = GetModuleHandleA(nullptr);
    if (registered == 0) {
        WNDCLASSA panel_class = {};
        panel_class.lpfnWndProc = PanelProc;
        panel_class.hInstance = instance;
        panel_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
        panel_class.lpszClassName = "TessarinVisualisation";
        registered = RegisterClassA(&panel_class);
    }
    return CreateWindowExA(0, "TessarinVisualisation", "", WS_CHILD | WS_VISIBLE, where.left, where.top,
                           where.right - where.left, where.bottom - where.top, parent, (HMENU)(INT_PTR)id, instance,
                           shown);
}

} // namespace vis
