// A small reader of pabulib .pb election files for the native tests: approval
// votes give utility 1, cumulative and scoring votes their points, choose-1
// votes 1. Only what the tests need; the package's own reader is the one for
// users.
#ifndef TARVEK_TESTS_PABULIB_FILE_HPP
#define TARVEK_TESTS_PABULIB_FILE_HPP

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "implementations.hpp"

namespace tarvek_test {

// Splits one line at semicolons, honouring double-quoted fields.
inline std::vector<std::string> split_pb_row(const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                fields.back() += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                fields.back() += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ';') {
            fields.emplace_back();
        } else if (c != '\r') {
            fields.back() += c;
        }
    }
    return fields;
}

inline std::vector<std::string> split_list(const std::string& text) {
    std::vector<std::string> items;
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ',')) {
        if (!item.empty()) items.push_back(item);
    }
    return items;
}

// Reads `path`; returns false for vote types it does not turn into utilities.
inline bool read_pb_file(const std::string& path, Instance& election) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    std::string line, section;
    std::map<std::string, std::string> meta;
    std::vector<std::string> header;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == "META" || line == "PROJECTS" || line == "VOTES") {
            section = line;
            header.clear();
            continue;
        }
        const std::vector<std::string> row = split_pb_row(line);
        if (header.empty()) {
            header = row;
            continue;
        }
        std::map<std::string, std::string> cell;
        for (std::size_t i = 0; i < header.size() && i < row.size(); ++i) cell[header[i]] = row[i];
        if (section == "META") {
            meta[row[0]] = row.size() > 1 ? row[1] : "";
        } else if (section == "PROJECTS") {
            const std::string& id = cell["project_id"];
            election.projects.push_back(id);
            election.cost[id] = std::strtod(cell["cost"].c_str(), nullptr);
            election.approvers[id];
            election.total_utility[id] = 0;
        } else if (section == "VOTES") {
            const std::string& type = meta["vote_type"];
            if (type != "approval" && type != "cumulative" && type != "scoring" && type != "choose-1") {
                return false;
            }
            const std::string& voter = cell["voter_id"];
            election.voters.push_back(voter);
            const std::vector<std::string> chosen = split_list(cell["vote"]);
            const std::vector<std::string> points = split_list(cell["points"]);
            for (std::size_t i = 0; i < chosen.size(); ++i) {
                const int utility = (type == "cumulative" || type == "scoring") && i < points.size()
                                        ? std::atoi(points[i].c_str())
                                        : 1;
                if (utility == 0) continue;
                election.approvers[chosen[i]].emplace_back(voter, utility);
                election.total_utility[chosen[i]] += utility;
            }
        }
    }
    election.total_budget = std::strtod(meta["budget"].c_str(), nullptr);
    return true;
}

// The folder of real election files, or "" when it is not there.
inline std::string pabulib_folder() {
    if (const char* folder = std::getenv("TARVEK_PABULIB_DIR")) return folder;
#ifdef TARVEK_SOURCE_DIR
    const std::string beside = std::string(TARVEK_SOURCE_DIR) + "/../shared/data/pabulib";
    if (std::ifstream(beside + "/SOURCES.md")) return beside;
#endif
    return "";
}

}  // namespace tarvek_test

#endif  // TARVEK_TESTS_PABULIB_FILE_HPP
