// Saving the ParameterSet to a file and loading one into the controller.
#include "params/param_file.h"

#include "app/app.h"
#include "params/param_ops.h"
#include "params/params.h"
#include "rt/files.h"

namespace params {

namespace {

constexpr const char* kFileErrorTitle = "Parameter File Error";

rt::FileSelect ParameterFileDialog(bool load)
{
    rt::FileSelect s;
    s.defaultDirectory = "";
    s.defaultFileSpec = "*.prm";
    s.fileTypeList = "*.txt;*.prm;*.dat";
    s.title = "Load Parameter File";  // both dialogs carry this title
    s.buttonLabel = load ? 3 : 0;
    s.restrictDirectory = false;
    s.restrictExtension = false;
    s.allowCancel = true;
    s.allowMakeDirectory = !load;
    return s;
}

} // namespace

void SaveParameterFile(App& app)
{
    // A file of values nobody read would later be loaded into a controller
    // as if it were a real setting.
    if (!app.params.fromController()) {
        app.rt.MessagePopup("Nothing to Save",
                            "The parameters have not all been read from the controller since it was connected, "
                            "so they cannot be saved as its setting.\nConnect to the controller and press Read all "
                            "(a reading that stopped part way must be repeated), then save again.\n"
                            "Nothing was written.");
        return;
    }
    std::string path;
    const int chosen = app.rt.FileSelectPopup(ParameterFileDialog(false), &path);
    if (chosen <= 0 || path.empty())
        return;
    std::string error;
    if (!rt::WriteFileAtomically(path, FormatParameterFile(app.params), &error))
        app.rt.MessagePopup(kFileErrorTitle,
                            "The parameter file\n" + path + "\ncould not be saved: " + error + "\nNothing was written.");
}

void LoadParameterFile(App& app)
{
    std::string path;
    if (app.rt.FileSelectPopup(ParameterFileDialog(true), &path) != 1)
        return;
    std::string text, error;
    if (!rt::ReadWholeFile(path, &text, &error)) {
        app.rt.MessagePopup(kFileErrorTitle, "The parameter file\n" + path + "\ncould not be read: " + error +
                                                 "\nNothing was changed and nothing was sent.");
        return;
    }
    ParameterSet loaded;
    int bad = 0;
    std::string reason;
    if (!ParseParameterFile(text, app.params, &loaded, &bad, &reason)) {
        app.rt.MessagePopup(kFileErrorTitle, "The parameter file\n" + path + "\ncannot be loaded: field " +
                                                 std::to_string(bad) + " (" + FileFieldName(bad) + "): " + reason +
                                                 ".\nNothing was changed and nothing was sent.");
        return;
    }
    app.params = loaded;
    app.rt.SetCtrlVal(app.panels.parm, PARM_ALARM_SW, static_cast<int>(app.params.alarmWatch));
    core::WriteAllResult r;
    // A controller that stopped answering during the write-all pass would not
    // answer the read-back either.
    if (!WriteAllParameters(app, r)) {
        ReportOutcome(app, r.op, core::DescribeWriteAll(r));
        return;
    }
    // What the controller refused all the same is told once the panel shows
    // what it holds.
    const bool readBack = ReadAllParameters(app);
    ReportOutcome(app, r.op,
                  core::DescribeWriteAll(r) + (readBack ? "\nThe panel shows what the controller holds now." : ""));
}

} // namespace params

TEC_CALLBACK(WriteAllParm)
{
    if (event == rt::EVENT_COMMIT)
        params::SaveParameterFile(app);
    return 0;
}

TEC_CALLBACK(RdParmFromFile)
{
    if (event == rt::EVENT_COMMIT)
        params::LoadParameterFile(app);
    return 0;
}
