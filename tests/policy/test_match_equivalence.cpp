// The matchers prepare their patterns once and compare without copying the
// path for every reference; their answers must stay those of the path tests
// they stand for (Utility::file_in_path, Utility::name_match). Random lists
// and paths built from a small alphabet of path pieces, cases, slashes, NT
// prefixes and non-ASCII letters are asked both ways.
#include "policy/FileMatch.h"
#include "policy/ProcessMatch.h"
#include "sys/Utility.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace zem::vfs;

namespace {

std::string pick(std::mt19937 &random, std::vector<std::string> const &from) {
    return from[random() % from.size()];
}

// A path-like text of a few pieces.
std::string random_path(std::mt19937 &random) {
    static std::vector<std::string> const heads = {"C:",       "c:",  "D:",     "",
                                                   "\\??\\C:", "UNC", "\\\\srv"};
    static std::vector<std::string> const pieces = {"dir",
                                                    "DIR",
                                                    "Dir",
                                                    "a",
                                                    "a.txt",
                                                    "A.TXT",
                                                    "x y",
                                                    "\xc3\xa9t\xc3\xa9",
                                                    "\xc3\x89T\xc3\x89",
                                                    "data",
                                                    "dat",
                                                    "ab",
                                                    "",
                                                    " ",
                                                    "k",
                                                    "\xe2\x84\xaa"};
    static std::vector<std::string> const separators = {"\\", "/", "\\\\"};
    std::string path = pick(random, heads);
    int n = int(random() % 4);
    for (int i = 0; i < n; ++i)
        path += pick(random, separators) + pick(random, pieces);
    if (random() % 4 == 0)
        path += pick(random, separators);
    return path;
}

} // namespace

TEST(MatchEquivalence, FileListsAnswerAsFileInPath) {
    std::mt19937 random(7u);
    int positives = 0;
    for (int round = 0; round < 20000; ++round) {
        std::vector<std::string> references;
        std::string list;
        int n = 1 + int(random() % 3);
        for (int i = 0; i < n; ++i) {
            std::string r = random_path(random);
            for (char &c : r) {
                if (c == '/')
                    c = '\\'; // a list of this form never has "/"... and one that has
            }
            if (random() % 5 == 0)
                r += "/"; // ...is compared unchanged
            references.push_back(r);
            list += (i ? ";" : "") + r;
        }
        std::string path = random_path(random);
        bool expected = false;
        for (std::string const &r : references)
            expected = expected || Utility::file_in_path(Utility::utf82w(r), Utility::utf82w(path));
        FileMatch m(list.c_str(), 1);
        if (list.empty())
            continue; // an empty pattern is every file
        ASSERT_EQ(m.match_file(path.c_str(), 1), expected)
            << "list [" << list << "] path [" << path << "]";
        positives += expected ? 1 : 0;
    }
    EXPECT_GT(positives, 500); // both answers are well represented
}

TEST(MatchEquivalence, NameListsAnswerAsNameMatch) {
    std::mt19937 random(11u);
    int positives = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string piece = random_path(random);
        if (random() % 3 == 0)
            piece = " " + piece + "\t";
        if (piece.empty() || piece == "*" || piece[0] == '*' || piece.compare(0, 2, "_:") == 0)
            continue;
        std::string image = random_path(random);
        bool expected = Utility::name_match(Utility::utf82w(piece), Utility::utf82w(image));
        ProcessMatch m(piece.c_str());
        ASSERT_EQ(m.match_process(image.c_str(), nullptr), expected)
            << "piece [" << piece << "] image [" << image << "]";
        positives += expected ? 1 : 0;
    }
    EXPECT_GT(positives, 500);
}
