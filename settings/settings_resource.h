// Resource numbers shared by the dialog template and the dialog procedure.
#pragma once

#define IDD_SETTINGS 101         // the settings dialog template
#define IDC_SAMPLE_INPUT 1000    // check box: capture the soundcard for the visualisation
#define IDC_PROMPT_TO_SAVE 1001  // check box: ask where to save streamed files
