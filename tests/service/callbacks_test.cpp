#include "service/callbacks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

void barcodeA(const char *, unsigned) {}
void barcodeB(const char *, unsigned) {}
int signature(unsigned short, unsigned short, unsigned, unsigned char *, unsigned *) { return 0; }
void cut() {}

TEST(Callbacks, TableRegistrationReplacesEverySlot) {
    registerBarcodeEventCallback(barcodeA);
    registerSignCapCallback(signature);
    EXPECT_EQ(g_sCallbacks.barcodeEvent.load(), &barcodeA);
    EXPECT_EQ(g_sCallbacks.signatureCapture.load(), &signature);

    RynCallbacks table{};
    table.cutPaper = cut;
    registerCallback(table);  // null entries clear their slots
    EXPECT_EQ(g_sCallbacks.barcodeEvent.load(), nullptr);
    EXPECT_EQ(g_sCallbacks.signatureCapture.load(), nullptr);
    EXPECT_EQ(g_sCallbacks.cutPaper.load(), &cut);
    registerCallback(RynCallbacks{});
}

// A service thread reads slots while the application registers: each read
// sees one of the registered values, never a torn one (checked under TSan).
TEST(Callbacks, SlotsAreSafeToReadWhileRegistering) {
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            auto cb = g_sCallbacks.barcodeEvent.load();
            ASSERT_TRUE(cb == nullptr || cb == &barcodeA || cb == &barcodeB);
        }
    });
    for (int i = 0; i < 10000; ++i) registerBarcodeEventCallback(i % 2 ? barcodeA : barcodeB);
    stop = true;
    reader.join();
    registerCallback(RynCallbacks{});
}

}  // namespace
