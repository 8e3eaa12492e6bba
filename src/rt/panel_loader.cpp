#include "rt/panel_loader.h"
#include "rt/widgets.h"

#include <QXmlStreamReader>

namespace rt {

QWidget* PanelLoader::createWidget(const QString& className, QWidget* parent, const QString& name)
{
    QWidget* w = nullptr;
    if (className == QLatin1String("Led"))
        w = new Led(parent);
    else if (className == QLatin1String("Numeric"))
        w = new Numeric(parent);
    else if (className == QLatin1String("TimerControl"))
        w = new TimerControl(parent);
    else if (className == QLatin1String("StripChart"))
        w = new StripChart(parent);
    else if (className == QLatin1String("QSpinBox"))
        w = new SpinBox(parent);
    else if (className == QLatin1String("Graph"))
        w = new Graph(parent);
    else
        return QUiLoader::createWidget(className, parent, name);
    w->setObjectName(name);
    return w;
}

std::optional<QRect> TopWidgetGeometry(const QByteArray& panelFile)
{
    QXmlStreamReader xml(panelFile);
    int depth = 0;
    int topDepth = -1;       // depth of the top <widget>
    bool inGeometry = false; // inside the top widget's geometry property
    QRect r;
    bool found = false;
    QString field;
    while (!xml.atEnd()) {
        const auto token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            ++depth;
            const auto name = xml.name();
            if (topDepth < 0 && name == QLatin1String("widget")) {
                topDepth = depth;
            } else if (topDepth > 0 && depth == topDepth + 1 && name == QLatin1String("property") &&
                       xml.attributes().value(QLatin1String("name")) == QLatin1String("geometry")) {
                inGeometry = true;
            } else if (inGeometry) {
                field = name.toString();
            }
        } else if (token == QXmlStreamReader::Characters && inGeometry && !xml.isWhitespace()) {
            const int v = xml.text().toInt();
            if (field == QLatin1String("x"))
                r.moveLeft(v);
            else if (field == QLatin1String("y"))
                r.moveTop(v);
            else if (field == QLatin1String("width"))
                r.setWidth(v);
            else if (field == QLatin1String("height"))
                r.setHeight(v);
            found = true;
        } else if (token == QXmlStreamReader::EndElement) {
            if (inGeometry && depth == topDepth + 1)
                return found ? std::optional<QRect>(r) : std::nullopt;
            if (depth == topDepth)
                return std::nullopt;
            --depth;
        }
    }
    return std::nullopt;
}

} // namespace rt
