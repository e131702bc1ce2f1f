// File information: titles (also under code page 932) with guard pages behind the title
// buffer and the names passed in; lengths from the plug-in's own reading under Wine, agreeing
// with Play file by file, and elsewhere from a device of its own beside the playing one.
#include "tests/rig/plugin_rig.h"

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

#include "playback/file_info.h"
#include "playback/midi_file.h"
#include "tools/midi_corpus.h"

using rig::PluginTest;
using Strings = std::vector<std::string>;

// `size` bytes that end where a PAGE_NOACCESS page begins: an access past them faults.
struct Guarded {
    explicit Guarded(size_t size)
    {
        size_t usable = (size + 4095) / 4096 * 4096;
        base = (char*)VirtualAlloc(nullptr, usable + 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        DWORD old;
        VirtualProtect(base + usable, 4096, PAGE_NOACCESS, &old);
        data = base + usable - size;
    }
    // A text whose terminator is the last byte before the guard page.
    explicit Guarded(const std::string& text) : Guarded(text.size() + 1) { memcpy(data, text.c_str(), text.size() + 1); }
    ~Guarded() { VirtualFree(base, 0, MEM_RELEASE); }
    char *base, *data;
};

static std::string Title(InModule* mod, const std::string& name)
{
    Guarded title(kTitleCapacity);
    mod->GetFileInfo(Guarded(name).data, title.data, nullptr);
    return title.data;
}

static Strings Names(const rig::MciRecorder& mci)
{
    Strings names;
    for (const rig::MciCall& c : mci.Calls())
        names.push_back(rig::MciName(c.command));
    return names;
}

TEST_F(PluginTest, TitleIsTheNameWithoutItsFolderAndNeedsNoDevice)
{
    rig::MciRecorder mci(dll, false);
    EXPECT_EQ(Title(mod, "C:\\music\\song.mid"), "song.mid");
    EXPECT_EQ(Title(mod, "http://example.com/midi/tune.mid"), "tune.mid");
    EXPECT_EQ(Title(mod, "C:/music\\mixed/last.MID"), "last.MID");
    EXPECT_EQ(Title(mod, "bare.mid"), "bare.mid");
    EXPECT_EQ(Title(mod, "C:\\music\\"), "");
    // Cut at the capacity, never written past it.
    for (size_t size : {size_t(259), size_t(260), size_t(5000), size_t(70000)})
        EXPECT_EQ(Title(mod, "C:\\" + std::string(size, 't')), std::string(size < 260 ? size : 259, 't'));

    char title[8] = "keep";
    int length = 7;
    mod->GetFileInfo(nullptr, title, &length);
    mod->GetFileInfo("C:\\music\\song.mid", nullptr, nullptr);
    EXPECT_STREQ(title, "keep");
    EXPECT_EQ(length, 7);
    EXPECT_TRUE(mci.Calls().empty()) << "no length asked, no device opened";
}

TEST_F(PluginTest, TitleOfTheCurrentFileStaysBoundedWhateverNamePlayReceived)
{
    rig::MciRecorder mci(dll, false);
    Guarded title(kTitleCapacity);
    int length = 0;
    ASSERT_EQ(mod->Play(Guarded("C:\\" + std::string(1023 - 12, 'd') + "\\song.mid").data), 0);
    mod->GetFileInfo("", title.data, &length);
    EXPECT_STREQ(title.data, "song.mid");
    EXPECT_EQ(length, 4000);
    for (size_t size : {size_t(1023), size_t(1024), size_t(6000)}) {
        mod->Stop();
        mod->Play(Guarded("C:\\" + std::string(size - 3, 'n')).data);
        mod->GetFileInfo("", title.data, &length);
        EXPECT_EQ(std::string(title.data), std::string(259, 'n')) << size;
    }
}

TEST_F(PluginTest, OutsideWineTheLengthComesFromADeviceOfItsOwnClosedAgain)
{
    rig::HideWine outside_wine(dll);
    rig::MciRecorder mci(dll, false);
    ASSERT_EQ(mod->Play("C:\\music\\playing.mid"), 0); // device 7, 4000 ms
    mci.Clear();
    mci.next_device = 9;
    mci.fake_length = 2500;
    int length = 0;
    mod->GetFileInfo("C:\\music\\other.mid", nullptr, &length);
    EXPECT_EQ(length, 2500);
    ASSERT_EQ(Names(mci), (Strings{"OPEN", "SET", "STATUS", "CLOSE"}));
    auto c = mci.Calls();
    EXPECT_EQ(c[0].device, 0u);
    EXPECT_EQ(c[0].flags, DWORD_PTR(0x3202));
    EXPECT_EQ(c[0].words[2], DWORD(MCI_DEVTYPE_SEQUENCER));
    EXPECT_EQ(c[0].element, "C:\\music\\other.mid");
    EXPECT_EQ((Strings{std::to_string(c[1].flags), std::to_string(c[2].flags), std::to_string(c[3].flags)}),
              (Strings{"1026", "258", "2"}));
    EXPECT_EQ(c[1].words[1], DWORD(MCI_FORMAT_MILLISECONDS));
    EXPECT_EQ(c[2].words[2], DWORD(MCI_STATUS_LENGTH));
    EXPECT_TRUE(c[1].device == 9 && c[2].device == 9 && c[3].device == 9);
    mod->GetFileInfo("", nullptr, &length);
    EXPECT_EQ(length, 4000) << "the playing file keeps its length";

    // A failing time format is ignored, a failing length query still closes, a refused
    // open sends nothing more.
    const std::pair<UINT, Strings> failures[] = {{MCI_SET, {"OPEN", "SET", "STATUS", "CLOSE"}},
                                                 {MCI_STATUS, {"OPEN", "SET", "STATUS", "CLOSE"}},
                                                 {MCI_OPEN, {"OPEN"}}};
    for (const auto& [command, sent] : failures) {
        mci.Fail(command, MCIERR_UNSUPPORTED_FUNCTION);
        mci.Clear();
        mod->GetFileInfo("C:\\music\\other.mid", nullptr, &length);
        EXPECT_EQ(length, command == MCI_SET ? 2500 : kUnknownLength) << rig::MciName(command);
        EXPECT_EQ(Names(mci), sent) << rig::MciName(command);
    }
    mci.Clear();
    mod->Pause();
    EXPECT_EQ(mci.Calls()[0].device, 7u) << "the playing device is untouched";
}

TEST_F(PluginTest, RealSequencerAnswersForOtherFilesWhileOnePlays)
{
    std::string playing = WriteScale("long.mid", 40); // 20 s: still playing at the end
    std::string other = WriteScale("three.mid", 6);
    rig::MciRecorder mci(dll, true);
    ASSERT_EQ(mod->Play(playing.c_str()), 0);
    MCIDEVICEID device = mci.Calls()[1].device;

    char title[kTitleCapacity];
    int length = 0;
    mod->GetFileInfo(other.c_str(), title, &length);
    EXPECT_EQ(length, 3000);
    EXPECT_STREQ(title, "three.mid");
    // MCI refuses the playing file under its own name, the open device's alias
    // (MCIERR_DEVICE_OPEN): its known length is reported, whatever the case of the name.
    std::string upper = playing;
    CharUpperA(upper.data());
    mci.Clear();
    for (const std::string& name : {playing, upper}) {
        mod->GetFileInfo(name.c_str(), title, &length);
        EXPECT_EQ(length, 20000);
    }
    EXPECT_TRUE(mci.Calls().empty());
    for (const std::string& bad : {WriteBytes("notes.mid", "not MIDI"), Folder() + "missing.mid",
                                   std::string("http://127.0.0.1:9/songs/tune.mid")}) {
        mod->GetFileInfo(bad.c_str(), title, &length);
        EXPECT_EQ(length, kUnknownLength) << bad;
    }
    EXPECT_STREQ(title, "tune.mid");

    mod->GetFileInfo("", title, &length);
    EXPECT_EQ(length, 20000);
    EXPECT_STREQ(title, "long.mid");
    MCI_STATUS_PARMS status = {};
    status.dwItem = MCI_STATUS_MODE;
    EXPECT_EQ(mciSendCommandA(device, MCI_STATUS, MCI_STATUS_ITEM | MCI_WAIT, (DWORD_PTR)&status), 0u);
    EXPECT_EQ(status.dwReturn, DWORD_PTR(MCI_MODE_PLAY)) << "the playing device still plays";
    mod->Stop();
}

// winmm's own opens of files by name (mmio's CreateFileA), for the files of one folder.
static std::string watched_folder;
static LONG winmm_opens = 0;
static HANDLE WINAPI CountingCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                         DWORD disposition, DWORD flags, HANDLE from)
{
    if (name != nullptr && strstr(name, watched_folder.c_str()) != nullptr)
        InterlockedIncrement(&winmm_opens);
    return CreateFileA(name, access, share, security, disposition, flags, from);
}

// One quarter note after more tempo changes than the plug-in times: Wine's sequencer gets the
// file itself.
static std::string ManyTempoChanges(int count)
{
    std::string track;
    for (int i = 0; i < count; ++i)
        track += std::string("\x00\xFF\x51\x03\x07\xA1\x20", 7);
    track += std::string("\x00\x90\x3C\x40\x83\x60\x80\x3C\x00\x00\xFF\x2F\x00", 13);
    std::string size = {char(track.size() >> 24), char(track.size() >> 16), char(track.size() >> 8), char(track.size())};
    return std::string("MThd\0\0\0\x06\0\0\0\x01\x01\xE0MTrk", 18) + size + track;
}

// Under Wine the sequencer opens the plug-in's own reading from memory, so no file is read from
// disk twice: not for the file information of a timed file or of one handed over as it is, nor
// for playing one, nor while one plays; and Pause and Resume go on as before in between.
TEST_F(PluginTest, UnderWineTheSequencerReadsThePluginsReadingNotTheDisk)
{
    watched_folder = Folder();
    winmm_opens = 0;
    rig::ImportPatch count(GetModuleHandleA("winmm.dll"), "kernel32.dll", "CreateFileA", (void*)CountingCreateFileA);
    std::string timed = WriteScale("timed.mid", 4);
    std::string untimed = WriteBytes("untimed.mid", ManyTempoChanges(4100));
    char title[kTitleCapacity];
    int length = 0;
    mod->GetFileInfo(timed.c_str(), title, &length);
    EXPECT_EQ(length, 2000);
    mod->GetFileInfo(untimed.c_str(), title, &length);
    EXPECT_GT(length, 0) << "the sequencer's own length of a file it reads from memory";

    ASSERT_EQ(mod->Play(untimed.c_str()), 0);
    mod->GetFileInfo(timed.c_str(), title, &length);
    EXPECT_EQ(length, 2000);
    mod->Stop();
    ASSERT_EQ(mod->Play(timed.c_str()), 0);
    mod->Pause();
    mod->GetFileInfo(untimed.c_str(), title, &length);
    mod->Resume();
    EXPECT_EQ(mod->IsPaused(), 0);
    mod->GetFileInfo(timed.c_str(), title, &length);
    EXPECT_EQ(length, 2000);
    mod->Stop();
    EXPECT_EQ(winmm_opens, 0);

    // The count sees winmm open a file by name.
    MCI_OPEN_PARMSA open = {};
    open.lpstrDeviceType = (LPCSTR)MCI_DEVTYPE_SEQUENCER;
    open.lpstrElementName = timed.c_str();
    ASSERT_EQ(mciSendCommandA(0, MCI_OPEN, MCI_OPEN_TYPE | MCI_OPEN_TYPE_ID | MCI_OPEN_ELEMENT | MCI_WAIT,
                              (DWORD_PTR)&open), 0u);
    MCI_GENERIC_PARMS close = {};
    mciSendCommandA(open.wDeviceID, MCI_CLOSE, MCI_WAIT, (DWORD_PTR)&close);
    EXPECT_GT(winmm_opens, 0);
}

// Real files from other people and generated ones with tempo changes in the middle (written by
// tests/midi_lengths.py with the lengths mido gives): the plug-in's lengths are the music's,
// whatever tempo the sequencer assumes, to the millisecond, and Play reports the same.
TEST_F(PluginTest, LengthsFollowTheFilesTempoMapAsAnIndependentReaderDoes)
{
    std::string folder = rig::ProgramFolder() + "midi_lengths\\";
    std::ifstream list(folder + "lengths.txt");
    ASSERT_TRUE(list.good()) << "no " << folder << "lengths.txt (the midi_lengths test writes it)";
    int files = 0;
    std::string name;
    double expected;
    while (list >> name >> expected) {
        int length = 0;
        mod->GetFileInfo((folder + name).c_str(), nullptr, &length);
        EXPECT_LE(std::fabs(length - expected), 1.0) << name << ": " << length << " ms, mido " << expected;
        ++files;
        if (name == "fur-elise.mid") {
            ASSERT_EQ(mod->Play((folder + name).c_str()), 0);
            EXPECT_EQ(mod->GetLength(), length);
            mod->Stop();
        }
    }
    EXPECT_GE(files, 14);
}

// One track of the given bytes in a file of `format` and `division`, after `before` (other chunks).
static std::string OneTrackFile(const std::string& track, int format = 0, int division = 480,
                                const std::string& before = "")
{
    auto be32 = [](size_t v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; };
    return std::string("MThd\0\0\0\x06\0", 9) + char(format) + std::string("\0\x01", 2) + char(division >> 8) +
           char(division) + before + "MTrk" + be32(track.size()) + track;
}

// Whether Wine's sequencer opens the file by its name, asked directly.
static bool SequencerOpens(const std::string& path)
{
    MCI_OPEN_PARMSA open = {};
    open.lpstrDeviceType = (LPCSTR)MCI_DEVTYPE_SEQUENCER;
    open.lpstrElementName = path.c_str();
    if (mciSendCommandA(0, MCI_OPEN, MCI_OPEN_TYPE | MCI_OPEN_TYPE_ID | MCI_OPEN_ELEMENT | MCI_WAIT, (DWORD_PTR)&open) != 0)
        return false;
    MCI_GENERIC_PARMS close = {};
    mciSendCommandA(open.wDeviceID, MCI_CLOSE, MCI_WAIT, (DWORD_PTR)&close);
    return true;
}

// Under Wine file information opens no device for a file it can answer from its reading, and
// its answer is Play's, file by file: a length for a file that plays (the length Play reports),
// -1000 for one that Play refuses. Every real file, the validator's full corrupted corpus, files
// that cannot be read, and the kinds the reader cannot time, which the sequencer opens as they
// are or refuses at open: only those it opens are asked of a device, and those the plug-in
// refuses for it are refused by the sequencer itself, asked directly.
TEST_F(PluginTest, UnderWineFileInformationAgreesWithPlayFileByFile)
{
    struct Case {
        std::string label, path;
    };
    std::vector<Case> cases;
    for (const char* folder : {"real_midi\\", "midi_lengths\\"}) {
        WIN32_FIND_DATAA found;
        std::string from = rig::ProgramFolder() + folder;
        HANDLE search = FindFirstFileA((from + "*.mid").c_str(), &found);
        ASSERT_NE(search, INVALID_HANDLE_VALUE) << from;
        do
            cases.push_back({found.cFileName, from + found.cFileName});
        while (FindNextFileA(search, &found));
        FindClose(search);
    }
    int real = (int)cases.size();
    const std::string tempo_run = ManyTempoChanges(4100).substr(22);
    const std::string note = std::string("\x00\x90\x3C\x40\x83\x60\x80\x3C\x00\x00\xFF\x2F\x00", 13);
    std::string untimed = ManyTempoChanges(4100);
    auto le32 = [](size_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
    MidiSong days = ScaleSong(2);
    days.notes.push_back({3 * 86400 * 960, 480, 0, 67, 90});
    std::vector<uint8_t> days_bytes = EncodeMidi(days);
    const std::pair<const char*, std::string> kinds[] = {
        {"4100 tempo changes, opened", untimed},
        {"division 0x8000, taken as ticks", OneTrackFile(note, 0, 0x8000)},
        {"division in SMPTE frames", OneTrackFile(note, 0, 0xE728)},
        {"4100 tempo changes in RIFF RMID",
         "RIFF" + le32(12 + untimed.size()) + "RMID" + "data" + le32(untimed.size()) + untimed},
        {"4100 tempo changes after a chunk of another kind",
         OneTrackFile(tempo_run, 1, 480, std::string("XFIH\0\0\0\x02\x01\x02", 10))},
        {"a note three days on, whose copy is too large", std::string(days_bytes.begin(), days_bytes.end())},
        {"empty", ""},
    };
    for (const auto& [label, bytes] : kinds)
        cases.push_back({label, WriteBytes((std::string(label) + ".mid").c_str(), bytes)});
    std::string folder = Folder() + "folder.mid";
    CreateDirectoryA(folder.c_str(), nullptr);
    std::string locked = WriteScale("locked.mid", 4);
    HANDLE lock = CreateFileA(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    cases.push_back({"missing", Folder() + "missing.mid"});
    cases.push_back({"a folder", folder});
    cases.push_back({"locked", locked});
    // The corpus last, each file in turn at one path.
    std::vector<std::vector<uint8_t>> corpus = MidiCorpus(1, 1000, rig::ProgramFolder() + "real_midi\\");
    std::string corpus_path = Folder() + "corpus.mid";
    for (size_t i = 0; i < corpus.size(); ++i)
        cases.push_back({"corpus file " + std::to_string(i), corpus_path});

    rig::MciRecorder mci(dll, true);
    int agreeing = 0, disagreeing = 0, played = 0, asked = 0, refused_for_wine = 0;
    std::string asked_about;
    static MidiReading reading;
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        if (c.path == corpus_path) {
            const std::vector<uint8_t>& bytes = corpus[i - (cases.size() - corpus.size())];
            WriteBytes("corpus.mid", std::string(bytes.begin(), bytes.end()));
        }
        std::ifstream in(c.path, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ReadMidi((const uint8_t*)bytes.data(), (uint32_t)bytes.size(), &reading);
        if (!bytes.empty() && reading.verdict == 1 && !reading.timed &&
            !WineSequencerOpens((const uint8_t*)bytes.data(), (uint32_t)bytes.size())) {
            ++refused_for_wine;
            EXPECT_FALSE(SequencerOpens(c.path)) << c.label << ": refused, but Wine's sequencer opens it";
        }
        mci.Clear();
        int info = 0;
        mod->GetFileInfo(c.path.c_str(), nullptr, &info);
        if (!mci.Calls().empty()) {
            ++asked;
            asked_about += " [" + c.label + "]";
        }
        int result = mod->Play(c.path.c_str());
        int length = result == 0 ? mod->GetLength() : kUnknownLength;
        mod->Stop();
        played += result == 0;
        bool agree = result == 0 ? info == length : result == 1 && info == kUnknownLength;
        agree ? ++agreeing : ++disagreeing;
        EXPECT_TRUE(agree) << c.label << ": GetFileInfo " << info << ", Play " << result << " with length " << length;
    }
    CloseHandle(lock);
    printf("%d files (%d real and generated, %d of the corpus): %d agreeing, %d disagreeing; %d played; %d "
           "refused as Wine's sequencer refuses them; a device asked about %d:%s\n",
           (int)cases.size(), real, (int)corpus.size(), agreeing, disagreeing, played, refused_for_wine, asked,
           asked_about.c_str());
    EXPECT_EQ(asked_about, " [4100 tempo changes, opened] [division 0x8000, taken as ticks]");
    EXPECT_GE(real, 25);
}

// A file wrapped in RIFF RMID is read from its "data" chunk, by a sequencer that takes such
// files (Wine's refuses them); one whose data chunk runs past the end never reaches it.
TEST_F(PluginTest, RiffWrappedFilesAreReadFromTheirDataChunk)
{
    std::ifstream in(rig::ProgramFolder() + "midi_lengths\\fanfare.mid", std::ios::binary);
    std::string smf((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(smf.size(), 383u);
    auto le32 = [](size_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
    std::string data = "data" + le32(smf.size()) + smf + '\0';
    rig::MciRecorder mci(dll, false);
    int length = 0;
    mod->GetFileInfo(WriteBytes("whole.rmi", "RIFF" + le32(4 + data.size()) + "RMID" + data).c_str(), nullptr, &length);
    EXPECT_EQ(length, 2100);
    mci.Clear();
    std::string cut = "RIFF" + le32(4 + data.size()) + "RMID" + "data" + le32(smf.size() + 100) + smf;
    mod->GetFileInfo(WriteBytes("cut.rmi", cut).c_str(), nullptr, &length);
    EXPECT_EQ(length, kUnknownLength);
    EXPECT_TRUE(mci.Calls().empty());
}

// Under code page 932 (the file_info_cp932_test run) 0x95 0x5C and 0x83 0x5C are single
// Shift-JIS characters whose second byte is a backslash.
class Cp932 : public PluginTest {
protected:
    void SetUp() override
    {
        char wanted[32] = "";
        GetEnvironmentVariableA("LC_ALL", wanted, sizeof(wanted));
        if (GetACP() != 932 && strncmp(wanted, "ja_JP", 5) == 0)
            FAIL() << "LC_ALL=" << wanted << " but the code page is " << GetACP();
        if (GetACP() != 932)
            GTEST_SKIP() << "needs code page 932";
        PluginTest::SetUp();
    }
};

TEST_F(Cp932, TrailBytesThatLookLikeBackslashesNeitherSplitNorOverrunTheTitle)
{
    EXPECT_EQ(Title(mod, "C:\\\x95\x5C\\\x95\x5C\x83\x5C.mid"), "\x95\x5C\x83\x5C.mid");
    EXPECT_EQ(Title(mod, "C:\\music\\\x83\x5C"), "\x83\x5C");
    EXPECT_EQ(Title(mod, "\x95\x5C"), "\x95\x5C");
    EXPECT_EQ(Title(mod, "C:\\\x95\x5C\\"), "");
    std::string chars;
    for (int i = 0; i < 200; ++i)
        chars += "\x95\x5C";
    // "ab" and 128 characters fill 258 bytes; the 129th would need bytes 259 and 260.
    EXPECT_EQ(Title(mod, "C:\\ab" + chars), "ab" + chars.substr(0, 256));
    EXPECT_EQ(Title(mod, "C:\\a" + chars), "a" + chars.substr(0, 258));
}
