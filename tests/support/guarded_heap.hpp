// guarded_heap.hpp — allocations that end where readable memory ends, so that code reading
// past the last element of a vector it built itself faults in an ordinary build.
#pragma once

namespace plugin_sign::testing {

// From here on, every operator new of this process returns a block whose last byte is the last
// one before a PROT_NONE page. Blocks are never freed: call it only in a death test's child,
// which exits soon after. Under a sanitizer it does nothing: the sanitizer's own allocator
// reports such reads already.
void guard_every_allocation();

}  // namespace plugin_sign::testing
