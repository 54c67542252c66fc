// The id index after many growths, against an index built the plain way:
// byte-by-byte FNV-1a of every id, inserted in position order with linear
// probing into a table of the same size. Growth hashes ids four at a time,
// so ids of unequal lengths side by side are what this mixes.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "graph/graph.h"

namespace {

uint64_t plain_fnv1a(const std::string &s) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : s) {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    return h;
}

std::vector<uint64_t> plain_index(const std::vector<std::string> &ids, size_t cap) {
    std::vector<uint64_t> index(cap, 0);
    for (size_t k = 1; k <= ids.size(); k++) {
        size_t i = plain_fnv1a(ids[k - 1]) & (cap - 1);
        while (index[i] != 0)
            i = (i + 1) & (cap - 1);
        index[i] = k;
    }
    return index;
}

TEST(IdIndex, GrowthMatchesPlainFnv1aInsertion) {
    std::mt19937 gen(6);
    const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789!-_.~ ";
    for (int round = 0; round < 4; round++) {
        nimbus_items list{};
        std::vector<std::string> ids;
        for (int page = 0; page < 30; page++) {
            std::string body = "{\"value\":[";
            for (int e = 0; e < 150; e++) {
                std::string id;
                size_t len = 1 + gen() % (round == 0 ? 3 : 60);
                for (size_t i = 0; i < len; i++)
                    id += alphabet[gen() % (sizeof alphabet - 1)];
                if (e)
                    body += ",";
                body += "{\"id\":\"" + id + "\"}";
            }
            body += "]}";
            char msg[256];
            ASSERT_EQ(nimbus_parse_children_page(body.data(), body.size(), "", &list, nullptr, msg,
                                                 sizeof msg),
                      NIMBUS_OK)
                << msg;
            ids.clear();
            for (size_t k = 0; k < list.count; k++)
                ids.push_back(list.items[k].id);
            std::vector<uint64_t> want = plain_index(ids, list.index_cap);
            ASSERT_EQ(std::vector<uint64_t>(list.index, list.index + list.index_cap), want)
                << "round " << round << " page " << page;
        }
        nimbus_items_free(&list);
    }
}

} // namespace
