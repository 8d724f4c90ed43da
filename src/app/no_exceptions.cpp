// The updater is built without exceptions, so nothing catches what the
// standard library would throw (an allocation that fails, an index past the
// end): the process ends either way. Ending it here, as an unhandled throw
// would, keeps the exception runtime (some 55 KiB) out of the exe.
#include <cstdlib>

namespace std {

[[noreturn]] void __throw_bad_alloc() { std::abort(); }
[[noreturn]] void __throw_bad_array_new_length() { std::abort(); }
[[noreturn]] void __throw_bad_function_call() { std::abort(); }
[[noreturn]] void __throw_invalid_argument(const char*) { std::abort(); }
[[noreturn]] void __throw_length_error(const char*) { std::abort(); }
[[noreturn]] void __throw_logic_error(const char*) { std::abort(); }
[[noreturn]] void __throw_out_of_range(const char*) { std::abort(); }
[[noreturn]] void __throw_out_of_range_fmt(const char*, ...) { std::abort(); }

}  // namespace std
