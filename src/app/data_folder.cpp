#include "app/data_folder.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace shell {

std::string UserDataFolder()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
        .filePath(QStringLiteral("tecontrol"))
        .toStdString();
}

std::string EnterFolder(const std::string& folder)
{
    const QString path = QString::fromStdString(folder);
    if (path.isEmpty())
        return "no folder given";
    const QFileInfo info(path);
    if (info.exists() && !info.isDir())
        return folder + " is not a folder";
    if (!QDir().mkpath(path))
        return "cannot make " + folder;
    if (!QDir::setCurrent(path))
        return "cannot enter " + folder;
    return "";
}

} // namespace shell
