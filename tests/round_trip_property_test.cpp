// For many seeded, reproducible sets of files, the layout the encoder computes walks back to exactly
// the same names, sizes and bytes.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "archive_format.hpp"
#include "support.hpp"

namespace {

using file_set = std::vector<std::pair<std::string, std::string>>;

file_set random_file_set(std::mt19937& generator) {
    static const char* const names[] = {"a", "b.txt", "dir/c", "dir/sub/d.bin", "with space", "%s%n",
                                        "caf\xc3\xa9", "./e", "A", "dir/deeper/and/deeper/f"};
    std::uniform_int_distribution<int> count(1, 12), pick(0, std::size(names) - 1), kind(0, 9);
    file_set files(static_cast<std::size_t>(count(generator)));
    for (auto& [name, data] : files) {
        name = names[pick(generator)];  // picked with repetition, so duplicates come up often
        const int size_kind = kind(generator);
        const std::size_t size = size_kind < 3 ? 0
                                 : size_kind < 8 ? generator() % 4096
                                                 : generator() % (400 << 10);
        data.resize(size);
        for (char& byte : data) byte = static_cast<char>(generator());
    }
    return files;
}

TEST(RoundTrip, EveryLaidOutArchiveWalksBackToItsFiles) {
    for (unsigned seed = 1; seed <= 60; ++seed) {
        std::mt19937 generator(seed);
        const file_set files = random_file_set(generator);
        const std::string archive = brel_test::make_archive(files);
        const auto* bytes = reinterpret_cast<const std::byte*>(archive.data());
        const brel::directory_listing listing = brel::walk_directory({bytes, archive.size()});

        ASSERT_EQ(listing.problem, "") << "seed " << seed;
        ASSERT_EQ(listing.entries.size(), files.size()) << "seed " << seed;
        EXPECT_EQ(brel::load_be32(bytes + brel::archive_size_at), archive.size()) << "seed " << seed;
        for (std::size_t i = 0; i < files.size(); ++i) {
            const brel::directory_entry& entry = listing.entries[i];
            ASSERT_TRUE(brel::data_inside(entry, archive.size())) << "seed " << seed << ", entry " << i;
            EXPECT_EQ(entry.name, files[i].first) << "seed " << seed << ", entry " << i;
            EXPECT_EQ(archive.substr(entry.data_offset, entry.data_size), files[i].second)
                << "seed " << seed << ", entry " << i;
        }
    }
}

}  // namespace
