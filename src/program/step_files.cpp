// "Save to PC" and "Open Frm PC": the script panel's program to and from a
// step-program file. Neither touches the controller.
#include "app/app.h"
#include "io/text_escape.h"
#include "program/program.h"
#include "rt/files.h"

#include <string>

namespace {

constexpr const char* kFileTitle = "Step Program File";

rt::FileSelect StepFileRequest(bool save)
{
    rt::FileSelect r;
    r.defaultDirectory = "";
    r.defaultFileSpec = "*.srp";
    r.fileTypeList = "*.txt";
    r.title = "Load Parameter File";
    r.buttonLabel = save ? 0 : 3;
    r.restrictDirectory = false;
    r.restrictExtension = false;
    r.allowCancel = true;
    r.allowMakeDirectory = save;
    return r;
}

} // namespace

TEC_CALLBACK(ScriptFileWrt)
{
    if (event == rt::EVENT_RIGHT_CLICK) {
        app.rt.MessagePopup("<Save to PC> Help", "Save the script parameters on the PC screen to a file.");
        return 0;
    }
    if (event != rt::EVENT_COMMIT)
        return 0;
    std::string path;
    if (app.rt.FileSelectPopup(StepFileRequest(true), &path) <= 0 || path.empty())
        return 0;
    const std::string text = program::FormatStepFile(program::ProgramFromPanel(app));
    std::string error;
    if (!rt::WriteFileAtomically(path, text, &error))
        app.rt.MessagePopup(kFileTitle, "The step program could not be saved to\n" + path + "\n" + error);
    return 0;
}

TEC_CALLBACK(ScriptFileRd)
{
    if (event == rt::EVENT_RIGHT_CLICK) {
        app.rt.MessagePopup("<Open Frm PC> Help",
                            "Read the script parameters from the previously saved file\n"
                            "\t\t\t\t\t\t  in the PC and display them on the PC.\n"
                            "\t\t\t\t\t\t  This will not update parameters to the controller,\n"
                            "\t\t\t\t\t\t  Press <Save to Ctrl> button to save new parameters to the controller.");
        return 0;
    }
    if (event != rt::EVENT_COMMIT)
        return 0;
    std::string path;
    if (app.rt.FileSelectPopup(StepFileRequest(false), &path) <= 0 || path.empty())
        return 0;
    std::string text;
    std::string error;
    if (!rt::ReadWholeFile(path, &text, &error)) {
        app.rt.MessagePopup(kFileTitle, "The step-program file\n" + path + "\ncould not be opened: " + error);
        return 0;
    }
    StepProgram prog;
    int bad = 0;
    std::string reason;
    if (!program::ParseStepFile(text, &prog, &bad, &reason)) {
        app.rt.MessagePopup(kFileTitle, "The step-program file\n" + path + "\ncannot be loaded: " +
                                            program::StepFieldDescription(bad) + ": " + io::EscapeText(reason) +
                                            ".\nThe panel is unchanged.");
        return 0;
    }
    // The actions are shown as the file has them: no 52 is filled in behind
    // an ending step, unlike while editing.
    program::ShowStepProgram(app, prog);
    app.rt.SetCtrlVal(app.panels.script, SCRIPT_TOL_BAND, static_cast<double>(prog.tolBand));
    return 0;
}
