// TLV serialize / unserialize throughput for the three shapes that matter:
// a transaction-sized message (~40 fields), one 38 KB value (a receipt
// image), and a 10k-node tree.
#include "ryn_tlv.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

sTLV_TREE_NODE *transactionTree() {
    sTLV_TREE_NODE *root = TlvTree_New(0x61010001);
    for (uint32_t i = 0; i < 40; ++i) {
        if (i % 3 == 0)
            TlvTree_AddChildInteger(root, 0x40000100 + i, i * 7919, 4);
        else
            TlvTree_AddChildString(root, 0x40000100 + i, "field value text 0123456789");
    }
    return root;
}

sTLV_TREE_NODE *imageTree() {
    sTLV_TREE_NODE *root = TlvTree_New(0x60010006);
    const std::string image(38 * 1024, '\x5A');
    TlvTree_AddChild(root, 0x40000001, image.data(), uint32_t(image.size()));
    return root;
}

sTLV_TREE_NODE *wideTree() {
    sTLV_TREE_NODE *root = TlvTree_New(0x60010000);
    for (uint32_t i = 0; i < 100; ++i) {
        sTLV_TREE_NODE *group = TlvTree_AddChild(root, 0x40001000 + i, nullptr, 0);
        for (uint32_t j = 0; j < 99; ++j) TlvTree_AddChildInteger(group, 0x40002000 + j, j, 2);
    }
    return root;  // 1 + 100 + 9900 = 10001 nodes
}

sTLV_TREE_NODE *(*const kShapes[])() = {transactionTree, imageTree, wideTree};
const char *const kNames[] = {"transaction", "image38k", "nodes10k"};

void BM_Serialize(benchmark::State &state) {
    sTLV_TREE_NODE *tree = kShapes[state.range(0)]();
    std::vector<unsigned char> out(size_t(TlvTree_GetSerializationSize(tree, 0)));
    for (auto _ : state) {
        const int n = TlvTree_Serialize(tree, 0, out.data(), uint32_t(out.size()));
        benchmark::DoNotOptimize(n);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(out.size()));
    state.SetLabel(kNames[state.range(0)]);
    TlvTree_Release(tree);
}

void BM_Unserialize(benchmark::State &state) {
    sTLV_TREE_NODE *tree = kShapes[state.range(0)]();
    std::vector<unsigned char> bytes(size_t(TlvTree_GetSerializationSize(tree, 0)));
    TlvTree_Serialize(tree, 0, bytes.data(), uint32_t(bytes.size()));
    TlvTree_Release(tree);
    for (auto _ : state) {
        sTLV_TREE_NODE *parsed = nullptr;
        TlvTree_Unserialize(&parsed, 0, bytes.data(), uint32_t(bytes.size()));
        TlvTree_Release(parsed);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
    state.SetLabel(kNames[state.range(0)]);
}

BENCHMARK(BM_Serialize)->DenseRange(0, 2);
BENCHMARK(BM_Unserialize)->DenseRange(0, 2);

}  // namespace

BENCHMARK_MAIN();
