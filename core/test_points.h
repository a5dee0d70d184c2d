// Named points inside long operations (training) at which the module's own
// tests can hold a process, to kill it there and check what it leaves
// behind. Without a handler a point costs one atomic load.
//
// Thread-safe: the handler is an atomic function pointer; it is called on
// the thread that reaches the point.
#ifndef NIVORA_CORE_TEST_POINTS_H_
#define NIVORA_CORE_TEST_POINTS_H_

namespace nivora::internal {

using TestPointHandler = void (*)(const char* point);

// Installs handler (null removes it); it is called with each point's name.
void SetTestPointHandler(TestPointHandler handler);

// Calls the installed handler, if any, with point.
void ReachTestPoint(const char* point);

}  // namespace nivora::internal

#endif  // NIVORA_CORE_TEST_POINTS_H_
