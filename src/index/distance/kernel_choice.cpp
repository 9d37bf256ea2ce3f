#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "index/distance/kernels.h"

namespace zelt {

#if defined(ZELT_AVX2_KERNELS)
extern const KernelSet avx2_kernel_set;  // kernels_avx2.cpp

const KernelSet* avx2_kernels() {
  // The processor's own report (with the operating system's support for the
  // wide registers), read once.
  static const bool runs = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return runs ? &avx2_kernel_set : nullptr;
}
#else
const KernelSet* avx2_kernels() { return nullptr; }
#endif

namespace {
std::atomic<const KernelSet*> chosen{nullptr};
}  // namespace

KernelChoice kernel_choice_from_environment() {
  const char* value = std::getenv("ZELT_CORE_KERNELS");
  if (value == nullptr || *value == '\0' || std::string(value) == "auto") return KernelChoice::Auto;
  if (std::string(value) == "portable") return KernelChoice::Portable;
  throw std::invalid_argument("ZELT_CORE_KERNELS must be \"auto\" or \"portable\", not \"" +
                              std::string(value) + "\"");
}

const KernelSet& choose_kernels(KernelChoice choice) {
  const KernelSet* fast = choice == KernelChoice::Auto ? avx2_kernels() : nullptr;
  const KernelSet* set = fast != nullptr ? fast : &portable_kernels();
  chosen.store(set, std::memory_order_release);
  return *set;
}

const KernelSet& active_kernels() {
  const KernelSet* set = chosen.load(std::memory_order_acquire);
  return set != nullptr ? *set : choose_kernels(kernel_choice_from_environment());
}

}  // namespace zelt
