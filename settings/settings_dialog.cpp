// The settings dialog (template IDD_SETTINGS in the plug-in's resources), which switches the
// capture and save-prompt settings, and the About box with the build stamp.
#include "settings/settings_dialog.h"

#include "host/host_calls.h"
#include "settings/settings_resource.h"
#include "settings/settings_store.h"

// --- About box ---------------------------------------------------------------------------

static const char kNotice[] = "Copyright (c) the Tessarin MIDI plug-in authors";

// The About text as a wsprintfA format whose one argument is the description. The build
// stamp is fixed in here at compile time: "Built on Nov 17 2006 at 05:40:21". __DATE__ pads
// a day below 10 with a space ("Dec  8 2026"); the stamp drops the pad ("Dec 8 2026").
// The compiler takes __DATE__ and __TIME__ from SOURCE_DATE_EPOCH when it is set, which keeps
// rebuilds of the same sources byte-identical.
struct AboutFormat {
    char text[128];
    unsigned length;
};

static constexpr void Put(AboutFormat& out, const char* text)
{
    for (; *text != '\0'; ++text)
        out.text[out.length++] = *text;
}

static constexpr AboutFormat MakeAboutFormat()
{
    AboutFormat out{};
    const char* date = __DATE__; // "Mmm dd yyyy"
    Put(out, "%.100s\n");
    Put(out, kNotice);
    Put(out, "\nBuilt on ");
    for (int i = 0; date[i] != '\0'; ++i) {
        if (i == 4 && date[i] == ' ')
            continue; // the pad of a one-digit day
        out.text[out.length++] = date[i];
    }
    Put(out, " at ");
    Put(out, __TIME__);
    out.text[out.length] = '\0';
    return out;
}

static constexpr AboutFormat kAboutFormat = MakeAboutFormat();

static const unsigned kAboutTextSize = 256;
// "%.100s" (6 bytes) becomes at most 100 bytes of description, so the text always fits.
static_assert(kAboutFormat.length < sizeof(kAboutFormat.text));
static_assert(kAboutFormat.length - 6 + 100 < kAboutTextSize);

void __cdecl ShowAbout(HWND parent)
{
    char text[kAboutTextSize];
    wsprintfA(text, kAboutFormat.text, in_module.description);
    MessageBoxA(parent, text, "About", MB_OK);
}

// --- Settings dialog ---------------------------------------------------------------------

void __cdecl ShowSettings(HWND parent)
{
    DialogBoxParamA(in_module.module_instance, MAKEINTRESOURCEA(IDD_SETTINGS), parent, SettingsDialogProc, 0);
}

// The boxes show the settings on opening; only OK takes them back and writes the file.
// Both buttons close the dialog with the same result, 1.
INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM)
{
    if (message == WM_INITDIALOG) {
        if (config_sample != 0)
            CheckDlgButton(dialog, IDC_SAMPLE_INPUT, BST_CHECKED);
        if (prompt_to_save != 0)
            CheckDlgButton(dialog, IDC_PROMPT_TO_SAVE, BST_CHECKED);
        return 1;
    }
    if (message != WM_COMMAND)
        return 0;
    switch (LOWORD(wparam)) {
    case IDOK:
        config_sample = IsDlgButtonChecked(dialog, IDC_SAMPLE_INPUT) != 0 ? 1 : 0;
        prompt_to_save = IsDlgButtonChecked(dialog, IDC_PROMPT_TO_SAVE) != 0 ? 1 : 0;
        SaveSettings();
        EndDialog(dialog, 1);
        return 0;
    case IDCANCEL:
        EndDialog(dialog, 1);
        return 0;
    default:
        return 0;
    }
}
