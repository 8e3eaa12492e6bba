// Reads panel files: Qt Designer XML whose custom classes are the run-time's
// own widgets.
#pragma once

#include <QByteArray>
#include <QRect>
#include <QUiLoader>

#include <optional>

namespace rt {

class PanelLoader final : public QUiLoader {
public:
    using QUiLoader::QUiLoader;
    QWidget* createWidget(const QString& className, QWidget* parent, const QString& name) override;
};

// The geometry the file gives its top widget (the loader applies only its size).
std::optional<QRect> TopWidgetGeometry(const QByteArray& panelFile);

} // namespace rt
