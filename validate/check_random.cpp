// Seeded random sequences of host calls, each checked after every call against a model of the
// record's contract. The tick count is the validator's, so a sequence replays exactly; a failing
// one is cut down to the shortest sequence that still fails, and printed with its seed.
#include <windows.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "validate/common.h"
#include "validate/fakes.h"
#include "validate/figures.h"
#include "validate/groups.h"

namespace validate {

bool ReplayFailsInChild(const std::string& sequence_file, std::string* how);

// kSeekEnd seeks relative to the current length (a host's seek to the end), so that the
// readings just below, at and just past the length come up often.
enum Kind { kPlay, kPause, kResume, kStop, kSeek, kVolume, kPan, kInfo, kWait, kSeekEnd, kKinds };

struct Op {
    int kind;
    int a;
    int b;
};

// The names a sequence plays and asks about.
struct Name {
    std::string text;
    int play_result; // with URL retrieval built
    int length;      // of a playable file; -1000 for file information otherwise
};

static std::vector<Name> names;
static const char kGoodUrl[] = "http://validator.invalid/four.mid";

static void MakeNames()
{
    if (!names.empty())
        return;
    names.push_back({WriteMidi("short.mid", 1), 0, 500});
    names.push_back({WriteMidi("four.mid", 4), 0, 2000});
    names.push_back({WriteMidi("long.mid", 16), 0, 8000});
    names.push_back({WorkFolder() + "missing.mid", 1, -1000});
    names.push_back({WriteFile("text.mid", "MThd is not enough to make a MIDI file\n"), 1, -1000});
    names.push_back({"", 1, -1000});
    names.push_back({WorkFolder(), 1, -1000});
    names.push_back({kGoodUrl, 0, 2000});
    names.push_back({"http://validator.invalid/gone.mid", -1, -1000});
}

// splitmix32: the same numbers in every process for the same seed.
struct Random {
    unsigned state;
    unsigned Next()
    {
        unsigned z = (state += 0x9E3779B9u);
        z = (z ^ (z >> 16)) * 0x85EBCA6Bu;
        z = (z ^ (z >> 13)) * 0xC2B2AE35u;
        return z ^ (z >> 16);
    }
    int Range(int low, int high) { return low + (int)(Next() % (unsigned)(high - low + 1)); }
};

struct SequenceConfig {
    unsigned seed;
    DWORD start_ticks;
    DWORD mixer_min, mixer_max;
    int channels;
};

static SequenceConfig ConfigFor(unsigned seed)
{
    Random r = {seed * 7919u + 13u};
    SequenceConfig c;
    c.seed = seed;
    // Every other sequence starts just before the tick count wraps.
    c.start_ticks = seed % 2 ? 0xFFFFFFFFu - (DWORD)r.Range(0, 20000) : r.Next();
    static const DWORD kBounds[][2] = {{0, 65535}, {0, 255}, {100, 65535}, {0x1000, 0xFFFFFFFFu}};
    int b = r.Range(0, 3);
    c.mixer_min = kBounds[b][0];
    c.mixer_max = kBounds[b][1];
    c.channels = r.Range(0, 3) == 0 ? 1 : 2;
    return c;
}

static int AnyInt(Random& r)
{
    static const int kExtremes[] = {INT_MIN, INT_MAX, -1, 0, INT_MIN + 1, INT_MAX - 1};
    return kExtremes[r.Range(0, 5)];
}

static std::vector<Op> Generate(unsigned seed, int count)
{
    Random r = {seed};
    std::vector<Op> ops;
    static const int kWeights[kKinds] = {10, 8, 8, 7, 10, 8, 8, 8, 20, 4};
    int total = 0;
    for (int w : kWeights)
        total += w;
    for (int i = 0; i < count; ++i) {
        int pick = r.Range(0, total - 1), kind = 0;
        while (pick >= kWeights[kind])
            pick -= kWeights[kind++];
        Op op = {kind, 0, 0};
        int roll = r.Range(0, 9);
        switch (kind) {
        case kPlay:
            op.a = r.Range(0, 9) < 6 ? r.Range(0, 2) : r.Range(0, (int)names.size() - 1);
            break;
        case kSeek:
            op.a = roll < 5 ? r.Range(0, 9000) : roll == 5 ? r.Range(-5000, 0) : roll == 6 ? AnyInt(r)
                 : roll == 7 ? 500 * r.Range(1, 16) + r.Range(-1, 1) : (int)r.Next();
            break;
        case kVolume:
            op.a = roll < 5 ? r.Range(0, 255) : roll < 7 ? -666 : roll == 7 ? r.Range(-1000, 1000)
                 : roll == 8 ? AnyInt(r) : r.Range(256, 400);
            break;
        case kPan:
            op.a = roll < 5 ? r.Range(-127, 127) : roll < 7 ? r.Range(-1000, 1000) : roll == 7 ? AnyInt(r)
                 : 127 * r.Range(-1, 1);
            break;
        case kInfo:
            op.a = r.Range(-2, (int)names.size() - 1); // -1 null, -2 the current file ("")
            op.b = r.Range(0, 3);                      // bit 0 title, bit 1 length
            break;
        case kSeekEnd:
            op.a = r.Range(-2, 1);
            break;
        case kWait:
            op.a = roll < 2 ? r.Range(0, 2) : roll < 6 ? r.Range(0, 300) : roll < 9 ? r.Range(300, 3000) : r.Range(0, 1) ? 0 : r.Range(0x40000000, INT_MAX);
            break;
        }
        ops.push_back(op);
    }
    return ops;
}

static std::string BaseName(const std::string& path)
{
    size_t at = path.find_last_of("\\/");
    return at == std::string::npos ? path : path.substr(at + 1);
}

static std::string Describe(const Op& op)
{
    auto name = [](int i) {
        if (i == -1)
            return std::string("null");
        if (i == -2 || names[i].text.empty())
            return std::string("\"\"");
        return names[i].text.find("://") != std::string::npos ? names[i].text : BaseName(names[i].text) +
               (names[i].text.back() == '\\' ? "(folder)" : "");
    };
    switch (op.kind) {
    case kPlay: return "Play(" + name(op.a) + ")";
    case kPause: return "Pause()";
    case kResume: return "Resume()";
    case kStop: return "Stop()";
    case kSeek: return Format("SetPosition(%d)", op.a);
    case kVolume: return Format("SetVolume(%d)", op.a);
    case kPan: return Format("SetPan(%d)", op.a);
    case kInfo:
        return "GetFileInfo(" + name(op.a) + (op.b & 1 ? ", title" : ", null") + (op.b & 2 ? ", length)" : ", null)");
    case kWait: return Format("wait %u ms", (unsigned)op.a);
    case kSeekEnd: return Format("SetPosition(length%+d)", op.a);
    }
    return "?";
}

// The record's contract, as state.
static const int kRestartSlackMs = 20;

struct Model {
    int open = 0, playing = 0, paused = 0, length = 0, pause_pos = 0, end_notified = 0;
    // The clock is frozen at 0 from load until the first file plays.
    DWORD base = 0;
    int frozen = 1;
    // How far ahead of the point the clock may be set by the seek or resume just made: Wine's
    // sequencer, played from a sequencer-ready copy, restarts the music at the copy's first
    // event at or after the point (at most 20 ms on), and the plug-in's clock goes there.
    int restart_slack = 0;
    std::string current;
    int volume = 0, pan = 0;
    int eof = 0, vis_open = 0, vis_close = 0, mixer_sets = 0;
    DWORD left = 0, right = 0;

    // A reading past 2^31 - 1 ms stays there, never negative.
    int Read(DWORD now) const
    {
        DWORD ms = frozen ? base : now - base;
        return ms > (DWORD)INT_MAX ? INT_MAX : (int)ms;
    }
    // A seek outside the file goes to its nearest end.
    int Clamp(int to) const { return to > length ? length : to < 0 ? 0 : to; }
};

struct Outcome {
    bool failed = false;
    int step = -1;
    std::string text;
    long calls = 0, operations = 0;
    int plays = 0;
};

struct Parts {
    bool file_info, mixer, streaming;
};

static void ApplyMixer(Model& m, const SequenceConfig& c)
{
    if (!m.playing)
        return;
    m.volume = m.volume < 0 ? 0 : m.volume > 255 ? 255 : m.volume;
    m.pan = m.pan < -127 ? -127 : m.pan > 127 ? 127 : m.pan;
    ExpectedLevels(m.volume, m.pan, c.mixer_min, c.mixer_max, &m.left, &m.right);
    ++m.mixer_sets;
}

static void ModelStop(Model& m)
{
    ++m.vis_close;
    m.open = 0;
    m.playing = 0;
}

// Runs `ops` on a fresh load. Stops at the first call that breaks the contract.
static Outcome RunSequence(const SequenceConfig& config, const std::vector<Op>& ops, Parts* parts_out)
{
    Outcome out;
    Plugin plugin;
    std::string error;
    if (!plugin.Load(&error)) {
        out.failed = true;
        out.text = error;
        return out;
    }
    Features f = FeaturesOf(plugin);
    FakeTicks ticks;
    if (!ticks.Install(plugin.dll, config.start_ticks)) {
        out.failed = true;
        out.text = "the plug-in does not read GetTickCount, so its clock cannot be followed";
        return out;
    }
    FakeMixer mixer;
    fake_mixer = FakeMixerState();
    fake_mixer.minimum = config.mixer_min;
    fake_mixer.maximum = config.mixer_max;
    fake_mixer.channels = config.channels;
    Parts parts = {f.file_info, f.mixer && mixer.Install(plugin.dll), f.streaming};
    if (parts_out != nullptr)
        *parts_out = parts;
    ResetHostLog();
    SetDownloadService(DownloadService::kCopy);
    InModule* mod = plugin.mod;
    Model m;
    int temp_before = CountTempFiles();

    auto fail = [&](int step, const std::string& text) {
        if (!out.failed) {
            out.failed = true;
            out.step = step;
            out.text = text;
        }
    };

    for (int i = 0; i < (int)ops.size() && !out.failed; ++i) {
        const Op& op = ops[i];
        SetActivity("[seq %u %d] %s", config.seed, i, Describe(op).c_str());
        DWORD now = ticks.Now();
        ++out.calls;
        ++out.operations;
        switch (op.kind) {
        case kPlay: {
            const Name& name = names[op.a];
            bool url = name.text.find("://") != std::string::npos;
            int expected = url && !parts.streaming ? -1 : name.play_result;
            if (m.open)
                ModelStop(m); // this plug-in ends an open file before the next
            m.current = name.text;
            m.end_notified = 0;
            watch.last_url = name.text;
            int result = mod->Play(name.text.c_str());
            ++out.plays;
            if (result != expected)
                fail(i, Format("Play returned %d, expected %d", result, expected));
            if (expected == 0) {
                m.open = 1;
                m.length = name.length;
                m.playing = 1;
                m.paused = 0;
                m.pause_pos = 0;
                ApplyMixer(m, config);
                ++m.vis_open;
                m.base = now;
                m.frozen = 0;
            }
            break;
        }
        case kPause:
            mod->Pause();
            if (!m.open)
                break; // nothing open: nothing changes
            m.pause_pos = m.Read(now);
            m.paused = 1;
            if (!m.frozen) {
                m.frozen = 1;
                m.base = now - m.base;
            }
            break;
        case kResume:
            mod->Resume();
            m.paused = 0; // open or not
            if (!m.open)
                break;
            if (m.frozen) {
                m.frozen = 0;
                m.base = now - m.base;
            }
            m.base = now - (DWORD)m.pause_pos;
            m.restart_slack = kRestartSlackMs;
            break;
        case kStop:
            mod->Stop();
            ModelStop(m);
            break;
        case kSeek:
        case kSeekEnd: {
            int to = op.kind == kSeek ? op.a : m.length + op.a;
            mod->SetPosition(to);
            if (!m.open)
                break;
            to = m.Clamp(to);
            // A seek while paused moves the paused position; the clock stays frozen there.
            if (m.frozen) {
                m.pause_pos = to;
                m.base = (DWORD)to;
            } else {
                m.base = now - (DWORD)to;
                m.restart_slack = kRestartSlackMs;
            }
            break;
        }
        case kVolume:
            mod->SetVolume(op.a);
            if (op.a != -666)
                m.volume = op.a;
            ApplyMixer(m, config);
            break;
        case kPan:
            mod->SetPan(op.a);
            m.pan = op.a;
            ApplyMixer(m, config);
            break;
        case kInfo: {
            char title[1024];
            memset(title, '#', sizeof(title));
            title[sizeof(title) - 1] = '\0';
            int length = -77;
            const char* file = op.a == -1 ? nullptr : op.a == -2 ? "" : names[op.a].text.c_str();
            mod->GetFileInfo(file, op.b & 1 ? title : nullptr, op.b & 2 ? &length : nullptr);
            if (!parts.file_info)
                break;
            if (file == nullptr) {
                if (title[0] != '#' || length != -77)
                    fail(i, "GetFileInfo(null) wrote into the host's buffers");
                break;
            }
            std::string name = file[0] == '\0' ? m.current : std::string(file);
            int expected_length = m.length; // the current file
            if (file[0] != '\0') {
                // The sequencer cannot open a URL; the file that is playing cannot be opened a
                // second time under its name, and this plug-in answers its known length.
                expected_length = IsUrl(file) ? -1000 : names[op.a].length;
                if (m.playing && lstrcmpiA(file, m.current.c_str()) == 0)
                    expected_length = m.length;
            }
            if ((op.b & 2) && length != expected_length)
                fail(i, Format("GetFileInfo length %d, expected %d", length, expected_length));
            if ((op.b & 1) && ExpectedTitle(name) != title)
                fail(i, Format("GetFileInfo title \"%.80s\", expected \"%.80s\"", title, ExpectedTitle(name).c_str()));
            break;
        }
        case kWait:
            ticks.Advance((DWORD)op.a);
            break;
        }
        if (out.failed)
            break;

        // After every call: the queries and what the host saw.
        now = ticks.Now();
        int paused = mod->IsPaused();
        int length = mod->GetLength();
        int position = mod->GetPosition();
        out.calls += 3;
        int expected_position = m.Read(now);
        if (!m.frozen && position > expected_position && position - expected_position <= m.restart_slack) {
            m.base -= (DWORD)(position - expected_position);
            expected_position = position;
        }
        m.restart_slack = 0;
        if (expected_position > m.length && !m.end_notified) {
            m.end_notified = 1;
            ++m.eof;
        }
        host.Pump();
        if (paused != m.paused)
            fail(i, Format("IsPaused %d, expected %d", paused, m.paused));
        else if (length != m.length)
            fail(i, Format("GetLength %d, expected %d", length, m.length));
        else if (position != expected_position)
            fail(i, Format("GetPosition %d, expected %d", position, expected_position));
        else if (host.seen.eof_posts != m.eof)
            fail(i, Format("end of file posted %d times, expected %d", host.seen.eof_posts, m.eof));
        else if (host.seen.vis_open != m.vis_open || host.seen.vis_close != m.vis_close)
            fail(i, Format("vis_open %d / vis_close %d times, expected %d / %d", (int)host.seen.vis_open,
                           (int)host.seen.vis_close, m.vis_open, m.vis_close));
        else if (host.seen.announce != host.seen.vis_open || host.seen.announce_bad || host.seen.vis_open_bad || host.seen.sink_bad)
            fail(i, "announce_format, vis_open or a sink got wrong arguments");
        else if (host.seen.sink_after_close > 0)
            fail(i, "a sink was called after vis_close");
        else if (parts.mixer) {
            if (fake_mixer.bad > 0)
                fail(i, fake_mixer.bad_text);
            else if (fake_mixer.sets != m.mixer_sets)
                fail(i, Format("the mixer was set %d times, expected %d (only while playing)", fake_mixer.sets, m.mixer_sets));
            else if (fake_mixer.opens != fake_mixer.closes)
                fail(i, Format("mixer opened %d times, closed %d", fake_mixer.opens, fake_mixer.closes));
            else if (m.mixer_sets > 0 && (fake_mixer.values[0] != m.left || (config.channels == 2 && fake_mixer.values[1] != m.right)))
                fail(i, Format("mixer levels %lu/%lu, expected %lu/%lu (volume %d, pan %d, bounds %lu-%lu)",
                               fake_mixer.values[0], fake_mixer.values[1], m.left, m.right, m.volume, m.pan,
                               config.mixer_min, config.mixer_max));
        }
    }
    mod->Stop();
    mixer.Remove();
    ticks.Remove(); // before the unload: the import table goes with the image
    if (!out.failed && CountTempFiles() > temp_before)
        fail((int)ops.size() - 1, Format("%d temporary files left after the closing Stop", CountTempFiles() - temp_before));
    if (!out.failed && watch.download_bad > 0)
        fail((int)ops.size() - 1, "the download function got the wrong window, URL or status text");
    SetDownloadService(DownloadService::kAbsent0);
    plugin.Unload();
    return out;
}

// Cuts `ops` down while `fails` holds (removing chunks, then single calls).
template <typename Fails>
static std::vector<Op> Shrink(std::vector<Op> ops, Fails fails, int budget)
{
    // Bounded in replays and in time: a shorter sequence is a help, not the verdict.
    DWORD start = GetTickCount();
    size_t chunks = 2;
    while (ops.size() >= 2 && budget > 0 && GetTickCount() - start < 180000) {
        size_t size = (ops.size() + chunks - 1) / chunks;
        bool cut = false;
        for (size_t start = 0; start < ops.size() && budget > 0; start += size) {
            std::vector<Op> candidate(ops.begin(), ops.begin() + start);
            candidate.insert(candidate.end(), ops.begin() + std::min(ops.size(), start + size), ops.end());
            --budget;
            if (!candidate.empty() && fails(candidate)) {
                ops = candidate;
                chunks = chunks > 2 ? chunks - 1 : 2;
                cut = true;
                break;
            }
        }
        if (!cut) {
            if (chunks >= ops.size())
                break;
            chunks = std::min(ops.size(), chunks * 2);
        }
    }
    return ops;
}

static std::string Listing(const std::vector<Op>& ops)
{
    std::string text;
    for (size_t i = 0; i < ops.size() && i < 40; ++i)
        text += (i ? "; " : "") + Describe(ops[i]);
    if (ops.size() > 40)
        text += Format("; ... (%d more)", (int)ops.size() - 40);
    return text;
}

void GroupRandom()
{
    MakeNames();
    Check check("random/sequences");
    int seeds = run.level.seeds, per_seed = run.level.calls_per_seed;
    long calls = 0, operations = 0;
    int plays = 0;
    Parts parts = {false, false, false};
    WarmUp(names[1].text);
    Figures before = Measure();
    for (int s = 0; s < seeds && !check.failed(); ++s) {
        unsigned seed = run.seed + (unsigned)s;
        Note("[seq %u -1] running %d calls", seed, per_seed);
        SequenceConfig config = ConfigFor(seed);
        std::vector<Op> ops = Generate(seed, per_seed);
        Outcome out = RunSequence(config, ops, &parts);
        calls += out.calls;
        operations += out.operations;
        plays += out.plays;
        if (!out.failed)
            continue;
        std::string first = out.text;
        std::vector<Op> prefix(ops.begin(), ops.begin() + (out.step + 1));
        int tries = 0;
        std::vector<Op> shortest = Shrink(prefix, [&](const std::vector<Op>& candidate) {
            ++tries;
            return RunSequence(config, candidate, nullptr).failed;
        }, 400);
        Outcome last = RunSequence(config, shortest, nullptr);
        check.Expect(false, "seed %u fails at call %d: %s; shortest reproducing sequence (%d calls, %d replays): %s -> %s",
                     seed, out.step, first.c_str(), (int)shortest.size(), tries, Listing(shortest).c_str(),
                     last.text.c_str());
    }
    Figures after = MeasureSettled(before);
    check.Expect(SameAs(before, after), "not back where it started: %s", Describe(before, after).c_str());
    check.Figure("%d seeds from %u, %ld random calls (%d Play) checked after each by IsPaused, GetLength and "
                 "GetPosition: %ld calls in all", seeds, run.seed, operations, plays, calls);
    check.Figure("%s", Describe(before, after).c_str());
    check.End();
    if (!parts.file_info) {
        Check skip("random/file information in sequences");
        skip.Skip("the build has no file information (it does not import CharNextA)");
    }
    if (!parts.mixer) {
        Check skip("random/volume and pan in sequences");
        skip.Skip("the build does not drive the mixer (it does not import mixerOpen)");
    }
    if (!parts.streaming) {
        Check skip("random/streamed files in sequences");
        skip.Skip("the build has no URL retrieval (it does not import GetTempFileNameA); URLs checked as unavailable");
    }
}

// --- replays in children ----------------------------------------------------------------

static bool SaveSequence(const std::string& path, unsigned seed, const std::vector<Op>& ops)
{
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr)
        return false;
    fprintf(f, "seed %u\n", seed);
    for (const Op& op : ops)
        fprintf(f, "%d %d %d\n", op.kind, op.a, op.b);
    return fclose(f) == 0;
}

int ReplaySequence(const char* file)
{
    MakeNames();
    FILE* f = fopen(file, "r");
    if (f == nullptr)
        return 2;
    unsigned seed = 0;
    std::vector<Op> ops;
    if (fscanf(f, "seed %u", &seed) == 1) {
        Op op;
        while (fscanf(f, "%d %d %d", &op.kind, &op.a, &op.b) == 3)
            ops.push_back(op);
    }
    fclose(f);
    Outcome out = RunSequence(ConfigFor(seed), ops, nullptr);
    if (out.failed)
        Emit("FAIL", "replay", Format("call %d: %s", out.step, out.text.c_str()));
    return out.failed ? 1 : 0;
}

std::string ShrinkInChildren(unsigned seed, int step)
{
    MakeNames();
    std::vector<Op> ops = Generate(seed, run.level.calls_per_seed);
    if (step >= 0 && step + 1 < (int)ops.size())
        ops.resize(step + 1);
    std::string file = WorkFolder() + "replay.txt";
    int tries = 0;
    std::string how;
    std::vector<Op> shortest = Shrink(ops, [&](const std::vector<Op>& candidate) {
        ++tries;
        return SaveSequence(file, seed, candidate) && ReplayFailsInChild(file, nullptr);
    }, 120);
    SaveSequence(file, seed, shortest);
    bool still = ReplayFailsInChild(file, &how);
    RemoveWorkFolder();
    return Format("seed %u; shortest sequence that %s (%d calls, %d replays): %s", seed,
                  still ? how.c_str() : "reproduced it", (int)shortest.size(), tries, Listing(shortest).c_str());
}

} // namespace validate
