#pragma once
// Names of table rows as ctest can take them.
#include <cctype>
#include <string>
#include <string_view>

// A row's name as ctest can take it: letters, digits and underscores.
inline std::string case_name(std::string_view row) {
    std::string name;
    for (const char c : row)
        if (std::isalnum(static_cast<unsigned char>(c)))
            name += c;
        else if (!name.empty() && !name.ends_with('_'))
            name += '_';
    return name.ends_with('_') ? name.substr(0, name.size() - 1) : name;
}

// Names each case of a table's suite after its row's name member.
struct row_name {
    template <class Info>
    std::string operator()(const Info& info) const {
        return case_name(info.param.name);
    }
};
