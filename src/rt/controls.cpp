#include "rt/controls.h"

#include <array>
#include <string>
#include <unordered_map>

namespace rt {
namespace {

constexpr std::array<std::string_view, CTRL_COUNT> kNames = {
    "",
#define TEC_NAME_ENTRY(name) #name,
    TEC_ALL_CONTROLS(TEC_NAME_ENTRY)
#undef TEC_NAME_ENTRY
};

const std::unordered_map<std::string_view, int>& byName()
{
    static const std::unordered_map<std::string_view, int> map = [] {
        std::unordered_map<std::string_view, int> m;
        for (int id = 1; id < CTRL_COUNT; ++id)
            m.emplace(kNames[id], id);
        return m;
    }();
    return map;
}

} // namespace

int controlIdByName(std::string_view name)
{
    const auto& m = byName();
    const auto it = m.find(name);
    return it == m.end() ? CTRL_NONE : it->second;
}

std::string_view controlName(int id)
{
    if (id <= CTRL_NONE || id >= CTRL_COUNT)
        return {};
    return kNames[id];
}

} // namespace rt
