// Bad input: odd and oversized names, files that are not MIDI, a generated corpus of truncated
// and corrupted MIDI files, and dead or malformed URLs. Every call must give its documented
// result with nothing worse: output buffers end at an inaccessible page, so a write past them
// faults in the check that made it.
#include <windows.h>
#include <commdlg.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "tools/midi_corpus.h"
#include "validate/common.h"
#include "validate/figures.h"
#include "validate/groups.h"
#include "validate/guarded.h"

namespace validate {

// The title buffer handed to GetFileInfo: the host passes no size, and the plug-in documents
// that it assumes MAX_PATH bytes. A longer title is cut (where, between characters, is the
// plug-in's choice), so it must be a beginning of the whole title.
static const unsigned kTitleSize = MAX_PATH;

static bool TitleFits(const std::string& expected, const char* title)
{
    if (expected.size() < kTitleSize)
        return expected == title;
    size_t n = strlen(title);
    return n < kTitleSize && expected.compare(0, n, title) == 0;
}

static bool RecordIntact(const Plugin& plugin)
{
    // The plug-in's own words: up to the host's window, from the file types to the host's
    // visualisation words, and the one after the host's sinks; then nothing past the record.
    auto now = (const char*)plugin.mod;
    auto then = (const char*)&plugin.at_load;
    const size_t ops = offsetof(InModule, file_types), ops_end = offsetof(InModule, vis_open);
    if (memcmp(now, then, offsetof(InModule, main_window)) != 0 || memcmp(now + ops, then + ops, ops_end - ops) != 0 ||
        plugin.mod->DoNothing35 != plugin.at_load.DoNothing35)
        return false;
    const int* after = (const int*)(plugin.mod + 1);
    return after[0] == 0 && after[1] == 0 && after[2] == 0;
}

// Asks for the file information of `name` into guarded buffers and checks the answer.
// For the empty name (the current file), `current` is the name the last Play was given.
static void CheckInfo(Check& check, const Plugin& plugin, const Features& f, const char* name, const char* label,
                      const std::string* current = nullptr)
{
    GuardedBuffer title(kTitleSize);
    GuardedBuffer length(sizeof(int));
    SetActivity("GetFileInfo(%s)", label);
    plugin.mod->GetFileInfo(name, title.data(), (int*)length.data());
    if (name == nullptr) {
        check.Expect(title.Untouched() && length.Untouched(), "GetFileInfo(null) wrote into the host's buffers");
        return;
    }
    if (!f.file_info)
        return;
    int expected_length = name[0] == '\0' ? plugin.mod->GetLength() : -1000;
    check.Expect(*(int*)length.data() == expected_length, "GetFileInfo(%s) length %d, expected %d", label,
                 *(int*)length.data(), expected_length);
    if (!check.Expect(title.Terminated(), "GetFileInfo(%s) title not terminated inside %u bytes", label, kTitleSize))
        return;
    if (name[0] == '\0') {
        // A name Play kept whole gives its title; a longer one was cut or refused (the builder's
        // choice), and only has to stay inside the buffer.
        if (current != nullptr && current->size() < 1024)
            check.Expect(TitleFits(ExpectedTitle(*current), title.data()),
                         "GetFileInfo(%s) title \"%.60s\", expected \"%.60s\"", label, title.data(),
                         ExpectedTitle(*current).c_str());
        return;
    }
    std::string expected = ExpectedTitle(name);
    check.Expect(TitleFits(expected, title.data()), "GetFileInfo(%s) title \"%.60s\", expected \"%.60s\"", label,
                 title.data(), expected.c_str());
    if (expected.size() < kTitleSize) {
        // A buffer just large enough for the title takes it without a byte more.
        GuardedBuffer exact((unsigned)expected.size() + 1);
        SetActivity("GetFileInfo(%s) into a buffer of exactly %u bytes", label, (unsigned)expected.size() + 1);
        plugin.mod->GetFileInfo(name, exact.data(), nullptr);
        check.Expect(expected == exact.data(), "GetFileInfo(%s) into an exact buffer gave \"%.60s\"", label, exact.data());
    }
}

struct BadName {
    std::string text;
    std::string label;
};

static std::vector<BadName> BadNames()
{
    std::vector<BadName> list;
    std::string folder = WorkFolder();
    auto padded = [&](size_t total) {
        std::string name = folder;
        name.append(total > name.size() + 4 ? total - name.size() - 4 : 0, 'n');
        return name + ".mid";
    };
    list.push_back({"", "empty"});
    list.push_back({padded(1023), "1023 bytes"});
    list.push_back({padded(1024), "1024 bytes"});
    list.push_back({padded(70000), "70000 bytes"});
    list.push_back({std::string(1023, 'a'), "1023 bytes, no folder"});
    list.push_back({std::string(70000, '\\'), "70000 backslashes"});
    list.push_back({"C:\\music\\a.mid", "C:\\music\\a.mid"});
    list.push_back({folder, "the scratch folder"});
    list.push_back({folder + "missing.mid", "a missing file"});
    list.push_back({"C:\\", "C:\\"});
    list.push_back({"\\", "\\"});
    list.push_back({"/", "/"});
    list.push_back({"a/", "a/"});
    list.push_back({"C:", "C:"});
    list.push_back({":", ":"});
    list.push_back({"NUL", "NUL"});
    list.push_back({"*.mid", "*.mid"});
    list.push_back({"\x81", "a lone lead byte"});
    list.push_back({"abc\x81", "a trailing lead byte"});
    list.push_back({"\x95\\x.mid", "a lead byte before a backslash"});
    list.push_back({"\xff\xfe\xfd\xfc", "high bytes"});
    list.push_back({"\x01\x02\x03\x1f\x7f", "control bytes"});
    Random r = {run.seed * 2654435761u};
    for (int i = 0; i < run.level.odd_names; ++i) {
        int length = r.Range(1, i % 10 == 0 ? 1500 : 300);
        std::string name;
        for (int k = 0; k < length; ++k)
            name += (char)r.Range(1, 255);
        // No leading double separator: the system would look for a network share.
        if (name.size() >= 2 && (name[0] == '\\' || name[0] == '/') && (name[1] == '\\' || name[1] == '/'))
            name[0] = 'x';
        list.push_back({name, Format("odd bytes #%d (%d bytes)", i, length)});
    }
    return list;
}

static void Names()
{
    Check check("input/names");
    Plugin plugin;
    if (!LoadForCheck(check, plugin))
        return;
    Features f = FeaturesOf(plugin);
    ResetHostLog();
    SetDownloadService(DownloadService::kAbsent0);
    std::vector<BadName> list = BadNames();
    Figures before = Measure();
    int tried = 0;
    {
        SetActivity("Play(null)");
        int result = plugin.mod->Play(nullptr);
        check.Expect(result == 1 || result == -1, "Play(null) returned %d", result);
        CheckInfo(check, plugin, f, nullptr, "null");
        plugin.mod->Stop();
    }
    for (const BadName& name : list) {
        ++tried;
        SetActivity("Play(%s)", name.label.c_str());
        int result = plugin.mod->Play(name.text.c_str());
        if (IsUrl(name.text))
            check.Expect(result == -1 || (result == 1 && name.text.size() >= 1024), "Play(%s) returned %d, expected -1",
                         name.label.c_str(), result);
        else
            check.Expect(result == 1, "Play(%s) returned %d, expected 1", name.label.c_str(), result);
        check.Expect(plugin.mod->GetLength() == 0 && plugin.mod->IsPaused() == 0, "Play(%s) changed length or pause",
                     name.label.c_str());
        // The current file is the name as Play kept it: the title is its last part, cut or refused
        // but always inside the buffer.
        CheckInfo(check, plugin, f, "", ("the current file after " + name.label).c_str(), &name.text);
        CheckInfo(check, plugin, f, name.text.c_str(), name.label.c_str());
        SetActivity("Stop after %s", name.label.c_str());
        plugin.mod->Stop();
        check.Expect(RecordIntact(plugin), "the record changed after Play(%s)", name.label.c_str());
        if (check.failed())
            break;
    }
    check.Expect(host.seen.vis_open == 0 && host.seen.announce == 0, "a refused Play called vis_open or announce_format");
    Figures after = MeasureSettled(before);
    check.Expect(SameAs(before, after), "not back where it started: %s", Describe(before, after).c_str());
    check.Figure("%d names (%d of odd bytes), guarded %u-byte titles; %s", tried + 1, run.level.odd_names, kTitleSize,
                 Describe(before, after).c_str());
    if (!f.file_info)
        check.Figure("file information not built: only Play, Stop and null-safety checked");
}

static void NotMidiFiles()
{
    Check check("input/files that are not MIDI");
    Plugin plugin;
    if (!LoadForCheck(check, plugin))
        return;
    Features f = FeaturesOf(plugin);
    ResetHostLog();
    std::string noise;
    Random r = {run.seed};
    for (int i = 0; i < 70000; ++i)
        noise += (char)r.Range(0, 255);
    struct Input {
        std::string path, label;
    } inputs[] = {
        {WriteFile("empty.mid", ""), "an empty file"},
        {WriteFile("text.mid", "this is not a MIDI file\n"), "a text file"},
        {WriteFile("noise.mid", noise), "70000 random bytes"},
        {WriteFile("header.mid", "MThd"), "a bare MThd"},
        {WriteFile("wave.mid", std::string("RIFF\x24\0\0\0WAVEfmt \x10\0\0\0", 20) + std::string(24, '\0')), "a WAV header"},
        {WorkFolder() + "folder.mid", "a folder named .mid"},
    };
    CreateDirectoryA(inputs[5].path.c_str(), nullptr);
    Figures before = Measure();
    for (const Input& input : inputs) {
        SetActivity("Play(%s)", input.label.c_str());
        int result = plugin.mod->Play(input.path.c_str());
        check.Expect(result == 1, "Play(%s) returned %d, expected 1", input.label.c_str(), result);
        CheckInfo(check, plugin, f, input.path.c_str(), input.label.c_str());
        plugin.mod->Stop();
    }
    Figures after = MeasureSettled(before);
    check.Expect(SameAs(before, after), "not back where it started: %s", Describe(before, after).c_str());
    check.Figure("%d inputs refused; %s", (int)(sizeof(inputs) / sizeof(inputs[0])), Describe(before, after).c_str());
}

// --- the corpus -------------------------------------------------------------------------

static void CorruptedCorpus()
{
    Check check("input/corrupted MIDI corpus");
    Plugin plugin;
    if (!LoadForCheck(check, plugin))
        return;
    Features f = FeaturesOf(plugin);
    ResetHostLog();
    std::vector<std::vector<uint8_t>> corpus =
        MidiCorpus(run.seed, run.level.corpus, hostlib::ProgramFolder() + "real_midi\\");
    std::string path = WorkFolder() + "corpus.mid";
    // The warm-up makes every call the loop makes, playing long enough for the sequencer to
    // open the MIDI output (50-130 ms after play), so one-time resources are in the figures before;
    // with a sysex set-up, as many corpus files have, which the plug-in sends from this thread:
    // the output driver's first send to FluidSynth from a thread leaves one handle for it.
    MidiSong warm_song = ScaleSong(2, 8);
    warm_song.sysex.push_back({0x7E, 0x7F, 0x09, 0x01, 0xF7}); // General MIDI System On
    std::string warm = WorkFolder() + "warm.mid";
    WriteMidiFile(warm, warm_song);
    int warm_length = 0;
    if (f.file_info)
        plugin.mod->GetFileInfo(warm.c_str(), nullptr, &warm_length);
    plugin.mod->Play(warm.c_str());
    Sleep(300);
    plugin.mod->Pause();
    plugin.mod->SetPosition(500);
    plugin.mod->Resume();
    plugin.mod->SetPosition(3000);
    plugin.mod->Stop();
    Figures before = Measure();
    int accepted = 0, refused = 0;
    for (size_t i = 0; i < corpus.size(); ++i) {
        WriteFile("corpus.mid", std::string(corpus[i].begin(), corpus[i].end()));
        SetActivity("corpus file %d (%d bytes)", (int)i, (int)corpus[i].size());
        int info_length = -77;
        if (f.file_info) {
            GuardedBuffer title(kTitleSize);
            plugin.mod->GetFileInfo(path.c_str(), title.data(), &info_length);
            check.Expect(strcmp(title.data(), "corpus.mid") == 0, "file %d: title \"%.40s\"", (int)i, title.data());
        }
        int length_before = plugin.mod->GetLength();
        int result = plugin.mod->Play(path.c_str());
        if (!check.Expect(result == 0 || result == 1, "file %d: Play returned %d", (int)i, result))
            break;
        if (result == 0) {
            ++accepted;
            // The length of a damaged file is whatever the sequencer makes of it: Wine's can differ
            // between two opens of the same file, so it is not compared with file information;
            // but a file that plays has one.
            int length = plugin.mod->GetLength();
            if (f.file_info)
                check.Expect(info_length != -1000, "file %d: played by Play but GetFileInfo gives length -1000", (int)i);
            plugin.mod->GetPosition();
            plugin.mod->Pause();
            plugin.mod->SetPosition(length / 2);
            plugin.mod->Resume();
            plugin.mod->SetPosition(length + 1000);
            plugin.mod->GetPosition();
        } else {
            ++refused;
            check.Expect(plugin.mod->GetLength() == length_before, "file %d: a refused Play changed the length", (int)i);
            if (f.file_info)
                check.Expect(info_length == -1000, "file %d: refused by Play but GetFileInfo gives length %d", (int)i,
                             info_length);
        }
        plugin.mod->Stop();
        if (check.failed())
            break;
    }
    host.Pump();
    Figures after = MeasureSettled(before);
    check.Expect(SameAs(before, after), "not back where it started: %s", Describe(before, after).c_str());
    check.Expect(RecordIntact(plugin), "the record changed");
    check.Figure("%d files: %d played, %d refused; %s", (int)corpus.size(), accepted, refused, Describe(before, after).c_str());
}

void GroupInput()
{
    Names();
    NotMidiFiles();
    CorruptedCorpus();
}

// --- URLs ---------------------------------------------------------------------------------

static void DeadAndMalformedUrls()
{
    Check check("urls/dead and malformed");
    Plugin plugin;
    if (!LoadForCheck(check, plugin))
        return;
    Features f = FeaturesOf(plugin);
    ResetHostLog();
    SetDownloadService(DownloadService::kUrlmon);
    std::string folder_url = "file:///" + WorkFolder();
    std::vector<BadName> urls = {
        {"http://127.0.0.1:1/dead.mid", "a refused port"},
        {"http://127.0.0.1:9/gone/tune.mid", "the discard port"},
        {"http://", "http:// alone"},
        {"http:///", "http:/// alone"},
        {"http://[::1/x.mid", "an unclosed address"},
        {"http://%zz%/x.mid", "a bad escape"},
        {"x://y/", "an unknown scheme, ending in a slash"},
        {"://", ":// alone"},
        {"a://b", "a one-letter scheme"},
        {"file:///Z:/no/such/folder/x.mid", "a missing file URL"},
        {"http://127.0.0.1:1/" + std::string(300, 's') + ".mid", "a 300-byte last segment"},
        {"http://127.0.0.1:1/" + std::string(1100, 'u'), "a 1100-byte URL"},
        {"http://127.0.0.1:1/" + std::string(70000, 'u'), "a 70000-byte URL"},
    };
    int temp_before = CountTempFiles();
    Figures before = Measure();
    for (const BadName& url : urls) {
        SetActivity("Play(%s)", url.label.c_str());
        watch.last_url = url.text;
        int result = plugin.mod->Play(url.text.c_str());
        check.Expect(result == -1 || (result == 1 && url.text.size() >= 1024), "Play(%s) returned %d, expected -1",
                     url.label.c_str(), result);
        CheckInfo(check, plugin, f, url.text.c_str(), url.label.c_str());
        plugin.mod->Stop();
        check.Expect(CountTempFiles() == temp_before, "Play(%s) left %d temporary files behind", url.label.c_str(),
                     CountTempFiles() - temp_before);
        temp_before = CountTempFiles();
    }
    check.Expect(host.seen.vis_open == 0, "a failed URL called vis_open");
    check.Expect(watch.download_bad == 0, "the download function got the wrong window, URL, target or status text");
    // Only files are compared: the download service's own threads are its business.
    Figures after = Measure();
    check.Expect(after.temp_files <= before.temp_files, "temporary files %d -> %d", before.temp_files, after.temp_files);
    check.Figure("%d URLs, %d downloads tried; temporary files %d -> %d", (int)urls.size(), Downloads(),
                 before.temp_files, after.temp_files);
    if (!f.streaming)
        check.Figure("URL retrieval not built: every URL is unavailable");
    SetDownloadService(DownloadService::kAbsent0);
}

static void StreamedFile()
{
    Check check("urls/streamed file");
    Plugin plugin;
    if (!LoadForCheck(check, plugin))
        return;
    Features f = FeaturesOf(plugin);
    if (!f.streaming) {
        check.Skip("the build has no URL retrieval (it does not import GetTempFileNameA)");
        return;
    }
    ResetHostLog();
    SetDownloadService(DownloadService::kUrlmon);
    std::string good = WriteMidi("fetched.mid", 4);
    std::string text = WriteFile("fetched.txt", "not MIDI\n");
    auto url_of = [](std::string path) {
        for (char& c : path)
            if (c == '\\')
                c = '/';
        return "file:///" + path;
    };
    int temp_before = CountTempFiles();
    std::string url = url_of(good);
    watch.last_url = url;
    check.Expect(plugin.mod->Play(url.c_str()) == 0, "Play(%s) did not play the download", url.c_str());
    check.Expect(plugin.mod->GetLength() == 2000, "length %d, expected 2000", plugin.mod->GetLength());
    check.Expect(host.seen.service_queries == 1 && Downloads() == 1, "%d service queries and %d downloads for one URL",
                 host.seen.service_queries, Downloads());
    std::string target = LastDownloadTarget();
    char temp[MAX_PATH];
    GetTempPathA(sizeof(temp), temp);
    std::string base = target.substr(target.find_last_of('\\') + 1);
    check.Expect(_strnicmp(target.c_str(), temp, strlen(temp)) == 0 && _strnicmp(base.c_str(), "mid", 3) == 0,
                 "the download went to %s, not a \"mid\" temporary file", target.c_str());
    if (f.file_info) {
        GuardedBuffer title(kTitleSize);
        int length = 0;
        plugin.mod->GetFileInfo("", title.data(), &length);
        check.Expect(strcmp(title.data(), "fetched.mid") == 0 && length == 2000,
                     "the current file is titled \"%s\" (%d ms), not by the URL's last segment", title.data(), length);
    }
    plugin.mod->Stop();
    check.Expect(GetFileAttributesA(target.c_str()) == INVALID_FILE_ATTRIBUTES, "the temporary download stays after Stop");

    url = url_of(text);
    watch.last_url = url;
    check.Expect(plugin.mod->Play(url.c_str()) == 1, "Play of a downloaded text file did not return 1");
    plugin.mod->Stop();
    check.Expect(CountTempFiles() == temp_before, "temporary files %d -> %d", temp_before, CountTempFiles());
    check.Expect(watch.download_bad == 0, "the download function got the wrong window, URL, target or status text");
    check.Figure("played through %s, temporary file removed; temporary files %d -> %d", target.c_str(), temp_before,
                 CountTempFiles());
    SetDownloadService(DownloadService::kAbsent0);
}

// --- the save prompt ------------------------------------------------------------------------

struct SavePrompt {
    int shown = 0;
    int bad = 0;
    char bad_text[160] = "";
    std::string proposed;
    std::string answer; // empty: the user cancels
};
static SavePrompt save_prompt;
static HWND host_window_for_prompt = nullptr;

static void PromptBad(const char* text)
{
    if (save_prompt.bad++ == 0)
        snprintf(save_prompt.bad_text, sizeof(save_prompt.bad_text), "%s", text);
}

// Stands in for the user at the save dialog: checks the record, then accepts a name or cancels.
static BOOL WINAPI AnswerGetSaveFileNameA(OPENFILENAMEA* record)
{
    ++save_prompt.shown;
    if (record == nullptr)
        return FALSE;
    if (record->lStructSize != sizeof(OPENFILENAME_NT4A))
        PromptBad("OPENFILENAMEA is not the older form every version of the dialogs takes");
    if (record->hwndOwner != host_window_for_prompt || record->hInstance != nullptr)
        PromptBad("the save dialog is not owned by the host's main window");
    if (record->lpstrFilter == nullptr || memcmp(record->lpstrFilter, "All files\0*.*\0\0", 15) != 0)
        PromptBad("the filter is not \"All files\" / \"*.*\"");
    if (record->lpstrFile == nullptr || record->nMaxFile != 259)
        PromptBad("the file buffer is not offered with capacity 259");
    if (record->lpstrTitle == nullptr || strcmp(record->lpstrTitle, "Save MIDI") != 0)
        PromptBad("the title is not \"Save MIDI\"");
    if (record->Flags != (OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY))
        PromptBad("the flags are not OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY");
    if (record->lpstrDefExt == nullptr || strcmp(record->lpstrDefExt, "mid") != 0)
        PromptBad("the default extension is not \"mid\"");
    if (record->lpstrFile == nullptr)
        return FALSE;
    const char* end = (const char*)memchr(record->lpstrFile, 0, 260);
    if (end == nullptr) {
        PromptBad("the proposed name is not terminated inside 260 bytes");
        return FALSE;
    }
    save_prompt.proposed.assign((const char*)record->lpstrFile, end);
    if (save_prompt.answer.empty())
        return FALSE;
    snprintf(record->lpstrFile, record->nMaxFile, "%s", save_prompt.answer.c_str());
    return TRUE;
}

static void SavePromptChecks()
{
    Check check("urls/save prompt");
    Plugin plugin;
    if (!LoadForCheck(check, plugin))
        return;
    Features f = FeaturesOf(plugin);
    if (!f.streaming || !f.dialog || !f.settings) {
        check.Skip("%s", !f.streaming ? "the build has no URL retrieval (it does not import GetTempFileNameA)"
                                      : "the build has no settings dialog to switch the prompt on");
        return;
    }
    plugin.RedirectAppData(AppData::kFolder, SettingsFolder(0));
    plugin.mod->LoadSettings();
    DialogSeen seen;
    if (!check.Expect(ConfirmSettings(plugin, 0, 1, &seen), "the settings dialog did not switch the save prompt on"))
        return;
    ImportPatch prompt(plugin.dll, "comdlg32.dll", "GetSaveFileNameA", (void*)AnswerGetSaveFileNameA);
    if (!check.Expect(prompt.ok(), "the plug-in does not import GetSaveFileNameA"))
        return;
    host_window_for_prompt = plugin.mod->main_window;
    ResetHostLog();
    SetDownloadService(DownloadService::kCopy);
    WriteMidi("four.mid", 4);
    int temp_before = CountTempFiles();

    // Accepted: the file goes where the user said and stays after Stop.
    save_prompt = SavePrompt();
    save_prompt.answer = WorkFolder() + "kept.mid";
    const char* url = "http://validator.invalid/four.mid";
    watch.last_url = url;
    check.Expect(plugin.mod->Play(url) == 0, "Play(%s) with the prompt accepted did not play", url);
    check.Expect(save_prompt.shown == 1 && save_prompt.proposed == "four.mid", "the prompt proposed \"%s\" (%d prompts)",
                 save_prompt.proposed.c_str(), save_prompt.shown);
    check.Expect(_stricmp(LastDownloadTarget().c_str(), save_prompt.answer.c_str()) == 0,
                 "the download went to %s, not the chosen file", LastDownloadTarget().c_str());
    plugin.mod->Stop();
    check.Expect(GetFileAttributesA(save_prompt.answer.c_str()) != INVALID_FILE_ATTRIBUTES, "the chosen file is gone after Stop");

    // Cancelled: a temporary file, removed by Stop.
    save_prompt = SavePrompt();
    check.Expect(plugin.mod->Play(url) == 0, "Play with the prompt cancelled did not play");
    plugin.mod->Stop();
    check.Expect(CountTempFiles() == temp_before, "the fallback temporary file stays after Stop");

    // A last segment longer than the name buffer, and one that is empty.
    std::string long_url = "http://validator.invalid/" + std::string(300, 'x') + ".mid";
    save_prompt = SavePrompt();
    watch.last_url = long_url;
    SetActivity("Play of a URL with a 304-byte last segment, prompt on");
    plugin.mod->Play(long_url.c_str());
    plugin.mod->Stop();
    check.Expect(save_prompt.proposed.size() < 260, "a %d-byte name was proposed", (int)save_prompt.proposed.size());
    save_prompt = SavePrompt();
    watch.last_url = "http://validator.invalid/";
    plugin.mod->Play("http://validator.invalid/");
    plugin.mod->Stop();
    check.Expect(save_prompt.proposed.empty(), "a URL ending in a slash proposed \"%s\"", save_prompt.proposed.c_str());
    check.Expect(save_prompt.bad == 0, "%s", save_prompt.bad_text);
    check.Expect(CountTempFiles() == temp_before, "temporary files %d -> %d", temp_before, CountTempFiles());
    check.Figure("accepted, cancelled, 304-byte and empty proposals; temporary files %d -> %d", temp_before, CountTempFiles());
    prompt.Restore();
    SetDownloadService(DownloadService::kAbsent0);
}

void GroupUrls()
{
    DeadAndMalformedUrls();
    StreamedFile();
    SavePromptChecks();
}

} // namespace validate
