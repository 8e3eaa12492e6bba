#include "app/controllers.h"

#include <QSettings>
#include <QString>

namespace controllers {

namespace {

constexpr const char* kGroup = "controllers";

bool PortInRange(int port)
{
    return port >= 1 && port <= 65535;
}

bool AddressInRange(int address)
{
    return address >= core::kFirstAddress && address <= core::kLastAddress;
}

} // namespace

core::Controller* ControllerList::at(int index) const
{
    if (index < 0 || index >= size())
        return nullptr;
    return entries[static_cast<std::size_t>(index)].get();
}

int ControllerList::find(int port, int address) const
{
    for (int i = 0; i < size(); ++i)
        if (entries[static_cast<std::size_t>(i)]->port == port && entries[static_cast<std::size_t>(i)]->address == address)
            return i;
    return -1;
}

std::string CleanName(const std::string& name)
{
    std::string s = name;
    for (char& c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F)
            c = ' ';
    }
    const auto first = s.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    s = s.substr(first, s.find_last_not_of(' ') - first + 1);
    if (s.size() > kMaxNameLength) {
        std::size_t cut = kMaxNameLength;
        // Back up over continuation bytes so that no character is cut in two.
        while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80)
            --cut;
        s.resize(cut);
        while (!s.empty() && s.back() == ' ')
            s.pop_back();
    }
    return s;
}

std::string Add(ControllerList& list, int port, int address, const std::string& name, int* index)
{
    if (!PortInRange(port))
        return "The port number must lie between 1 and 65535.";
    if (!AddressInRange(address))
        return "The address must lie between 1 and 247.";
    if (const int at = list.find(port, address); at >= 0)
        return "Port " + std::to_string(port) + " address " + std::to_string(address) + " is already in the list (" +
               list.at(at)->label() + ").";
    auto c = std::make_unique<core::Controller>();
    c->port = port;
    c->address = static_cast<core::Address>(address);
    c->name = CleanName(name);
    list.entries.push_back(std::move(c));
    if (index)
        *index = list.size() - 1;
    return {};
}

bool Rename(ControllerList& list, int index, const std::string& name)
{
    core::Controller* c = list.at(index);
    if (!c)
        return false;
    c->name = CleanName(name);
    return true;
}

std::string Remove(ControllerList& list, int index, std::unique_ptr<core::Controller>* removed)
{
    if (!list.at(index))
        return "No controller is chosen in the list.";
    if (index == list.selected && list.size() > 1)
        return "The panels act on " + list.at(index)->label() +
               ". Select another controller first, then remove this one.";
    if (removed)
        *removed = std::move(list.entries[static_cast<std::size_t>(index)]);
    list.entries.erase(list.entries.begin() + index);
    if (list.selected == index)
        list.selected = -1;
    else if (list.selected > index)
        --list.selected;
    return {};
}

void Save(const ControllerList& list, const std::string& settingsFile)
{
    if (settingsFile.empty())
        return;
    QSettings s(QString::fromStdString(settingsFile), QSettings::IniFormat);
    s.remove(kGroup);
    s.beginGroup(kGroup);
    s.beginWriteArray("controller", list.size());
    for (int i = 0; i < list.size(); ++i) {
        s.setArrayIndex(i);
        const core::Controller& c = *list.at(i);
        s.setValue("port", c.port);
        s.setValue("address", static_cast<int>(c.address));
        s.setValue("name", QString::fromStdString(c.name));
    }
    s.endArray();
    s.setValue("selected", list.selected);
    s.endGroup();
    s.sync();
}

void Load(ControllerList* list, const std::string& settingsFile)
{
    list->entries.clear();
    list->selected = -1;
    if (settingsFile.empty())
        return;
    QSettings s(QString::fromStdString(settingsFile), QSettings::IniFormat);
    s.beginGroup(kGroup);
    const int selected = s.value("selected", -1).toInt();
    int selectedKept = -1;
    const int n = s.beginReadArray("controller");
    for (int i = 0; i < n; ++i) {
        s.setArrayIndex(i);
        bool portOk = false, addressOk = false;
        const int port = s.value("port").toInt(&portOk);
        const int address = s.value("address").toInt(&addressOk);
        if (!portOk || !addressOk)
            continue;
        int at = -1;
        if (!Add(*list, port, address, s.value("name").toString().toStdString(), &at).empty())
            continue;
        if (i == selected)
            selectedKept = at;
    }
    s.endArray();
    s.endGroup();
    list->selected = selectedKept;
}

} // namespace controllers
