// The exported record: its fixed words, its shared operations and the fresh state.
#include "tests/rig/plugin_rig.h"

#include <cstring>

using rig::PluginTest;

TEST_F(PluginTest, ExportReturnsTheSameRecordWithItsFixedWords)
{
    auto get = (GetInModuleFn)(void*) GetProcAddress(dll, kGetInModuleExport);
    EXPECT_EQ(get(), mod);
    EXPECT_EQ(get(), mod);

    EXPECT_EQ(mod->version, 0x101);
    EXPECT_STREQ(mod->description, "Tessarin MIDI plug-in v0.60 (x86)");
    EXPECT_EQ(memcmp(mod->file_types, "MID\0MIDI Audio Files (*.MID)\0", 30), 0);
    EXPECT_EQ(mod->flag_word_1, 1);
    EXPECT_EQ(mod->flag_word_2, 0);
    EXPECT_EQ(mod->ReturnZero12, mod->ReturnZero13);
    EXPECT_EQ(mod->DoNothing, mod->DoNothing35);
    for (void* op : {(void*)mod->ShowSettings, (void*)mod->ShowAbout, (void*)mod->LoadSettings,
                     (void*)mod->GetFileInfo, (void*)mod->Play, (void*)mod->Pause, (void*)mod->Resume,
                     (void*)mod->IsPaused, (void*)mod->Stop, (void*)mod->GetLength, (void*)mod->GetPosition,
                     (void*)mod->SetPosition, (void*)mod->SetVolume, (void*)mod->SetPan})
        EXPECT_NE(op, nullptr);
}

TEST_F(PluginTest, HostWordsAndTrailingWordsAreZeroAtLoad)
{
    const InModule& r = record_at_load;
    for (const void* word : {(const void*)r.main_window, (const void*)r.module_instance, (const void*)r.vis_open,
                             (const void*)r.vis_close, (const void*)r.pcm_sink_b, (const void*)r.pcm_sink_a,
                             (const void*)r.announce_format})
        EXPECT_EQ(word, nullptr);
    for (int word : r.unused_27)
        EXPECT_EQ(word, 0);
    for (int word : r.unused_30)
        EXPECT_EQ(word, 0);
    EXPECT_EQ(r.unused_37, 0);
    const int* after = (const int*)(mod + 1);
    EXPECT_EQ(after[0], 0);
    EXPECT_EQ(after[1], 0);
    EXPECT_EQ(after[2], 0);
}

TEST_F(PluginTest, SharedOperationsDoNothingAndAnswerZero)
{
    EXPECT_EQ(mod->ReturnZero12(nullptr), 0);
    EXPECT_EQ(mod->ReturnZero13((void*)0x12345678), 0);
    mod->DoNothing();
    mod->DoNothing35();
    EXPECT_TRUE(rig::Events().empty());
    EXPECT_TRUE(Messages().empty());
}

TEST_F(PluginTest, FreshModuleIsNotPausedAndHasNoLength)
{
    EXPECT_EQ(mod->IsPaused(), 0);
    EXPECT_EQ(mod->GetLength(), 0);
}

TEST_F(PluginTest, ExportsOnlyTheEntryAndNeedsNoRuntimeDll)
{
    auto base = (BYTE*)dll;
    auto nt = (IMAGE_NT_HEADERS*)(base + ((IMAGE_DOS_HEADER*)base)->e_lfanew);
#ifdef _WIN64
    EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
#else
    EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
#endif
    auto exports = (IMAGE_EXPORT_DIRECTORY*)(base + nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT].VirtualAddress);
    ASSERT_EQ(exports->NumberOfNames, 1u);
    EXPECT_STREQ((const char*)(base + ((DWORD*)(base + exports->AddressOfNames))[0]), "kestroGetInModule2");

    auto dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto d = (IMAGE_IMPORT_DESCRIPTOR*)(base + dir.VirtualAddress); d->Name != 0; ++d) {
        std::string name = (const char*)(base + d->Name);
        for (char& c : name)
            c = (char)tolower(c);
        EXPECT_TRUE(name.find("libstdc++") == std::string::npos && name.find("libgcc") == std::string::npos &&
                    name.find("winpthread") == std::string::npos)
            << name;
    }
}
