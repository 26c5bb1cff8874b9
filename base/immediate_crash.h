#pragma once
// The one way the engine stops the process: a breakpoint trap, then an illegal instruction in
// case the trap is caught and resumed. No exit handler runs and nothing is flushed on the way.

namespace base {

[[noreturn]] inline void ImmediateCrash() {
  asm volatile("int3\n\tud2");
  __builtin_unreachable();
}

}  // namespace base
