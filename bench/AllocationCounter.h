#pragma once

namespace Tavix::Bench {

/// Heap allocations made so far through the global operator new (every form but the
/// aligned ones), by any thread of the program. AllocationCounter.cpp replaces the
/// global operators to count them; link it into the program that asks.
long AllocationsSoFar();

}  // namespace Tavix::Bench
