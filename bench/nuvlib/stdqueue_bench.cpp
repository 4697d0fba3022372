// StdQueue: append and remove (head, and an element in the middle) on a queue of a given size.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <vector>

#include "nuvlib/stdqueue.h"

namespace {

struct Item {
    int value = 0;
    StdQueueLink link;
};

void BM_AppendRemoveHead(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    std::vector<Item> items(size + 1);
    StdQueue q;
    q.SetLinkOffset(offsetof(Item, link));
    for (size_t i = 0; i < size; ++i) q.Append(&items[i]);
    for (auto _ : state) {
        void* head = q.RemoveHead();
        q.Append(head);
        benchmark::DoNotOptimize(head);
    }
    state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_AppendRemoveHead)->Arg(1)->Arg(1000)->Arg(100000);

void BM_RemoveMiddlePrepend(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    std::vector<Item> items(size);
    StdQueue q;
    q.SetLinkOffset(offsetof(Item, link));
    for (auto& item : items) q.Append(&item);
    size_t at = 0;
    for (auto _ : state) {
        Item* e = &items[at];
        q.Remove(e);
        q.Prepend(e);
        at = (at + 7919) % size;
    }
    state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_RemoveMiddlePrepend)->Arg(1000)->Arg(100000);

}  // namespace
