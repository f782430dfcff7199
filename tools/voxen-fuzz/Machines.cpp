#include "tools/voxen-fuzz/Machines.h"

#include <fstream>
#include <regex>
#include <sstream>

#include "sim/machine/Description.h"

namespace fuzz {

namespace {

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

bool LoadMachines(const std::string& path, std::vector<NamedMachine>* machines, std::string* error) {
    std::ifstream file(path);
    if (!file) {
        *error = "cannot read " + path;
        return false;
    }
    std::ostringstream contents;
    contents << file.rdbuf();
    std::string text = contents.str();

    std::vector<std::pair<std::string, std::string>> descriptions;  // name, JSON
    if (EndsWith(path, ".md")) {
        std::regex block("```json\n([\\s\\S]*?)```");
        int index = 0;
        for (std::sregex_iterator it(text.begin(), text.end(), block), end; it != end; ++it)
            descriptions.emplace_back(path + "#" + std::to_string(++index), (*it)[1]);
        if (descriptions.empty()) {
            *error = path + " holds no JSON example";
            return false;
        }
    } else {
        descriptions.emplace_back(path, text);
    }
    for (auto& [name, json] : descriptions) {
        NamedMachine machine;
        if (!sim::ParseMachine(json, &machine.spec, error)) {
            *error = name + ": " + *error;
            return false;
        }
        machine.name = machine.spec.name.empty() ? name : name + " (" + machine.spec.name + ")";
        machines->push_back(std::move(machine));
    }
    return true;
}

}  // namespace fuzz
