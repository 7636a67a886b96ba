// Background-function list of the embedded stack: up to 50 functions that
// the stack's tick runs once per pass on devices with link headers (never on
// the serial PPP device). Registration and the pass may come from any thread;
// a mutex guards the slots and is not held while the functions run.
#pragma once

using BackgroundFn = void (*)();

inline constexpr int kBackgroundSlots = 50;

// 0 when registered, -1 when all slots are full or fn is null.
int addwattcpd(BackgroundFn fn);
// Empties the slot holding fn; nothing when fn is not registered.
void delwattcpd(BackgroundFn fn);
// Runs each filled slot among the first lastd slots once, in slot order.
void dowattcpd();
void backgroundon();
void backgroundoff();
void backgroundfn(BackgroundFn fn);

// Set to dowattcpd once the list exists; null before.
extern void (*volatile wattcpd)();

namespace ryn::stack {
// One past the highest slot ever filled, as the pass sees it (tests).
int backgroundLastSlot();
// Empties the list (tests).
void resetBackgroundForTesting();
}  // namespace ryn::stack
