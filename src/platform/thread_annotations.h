// SPDX-License-Identifier: MIT
// Clang's thread-safety attributes, so that the compiler checks which lock
// guards which data (-Wthread-safety; scripts/thread-safety.sh builds with it
// and fails on any warning). Every other compiler sees nothing.
//
// Lock order. A thread that holds a lock takes only locks listed after it,
// so no two threads can wait for each other; the locks of a line are never
// held together. A gateway's peer link is a LinkState of its own, made and
// started under the gateway's lock: its locks come after that lock.
//   1. LinkState's write lock (a whole message or file) | its MessageReader's
//      lock (a whole message) | its gateway lock (around adopting the gateway, which
//      withdraws or installs the door's overflow under it)
//   2. QuietLine::lock_ (taken briefly inside a claim, under the write lock)
//   3. BluetoothHub's delivery lock (held while a door takes a connection)
//   4. LinkDoor::lock_ (held while the overflow takes a connection)
//   5. Gateway::lock_ (makes and starts a peer link under it)
//   6. PortSlot's listener lock (a claim's wait for a stop)
//   7. PortSlot's port lock | Reporting's status lock | its progress lock |
//      PendingRequests' lock
//   8. BluetoothPorts' connect lock, then BluetoothHub's service lock (a
//      connect asks the service about the peer) | BluetoothPorts' subscribe
//      lock, then BluetoothHub's notice lock (held while a notice is told)
//   9. IncomingPort::lock_ (under the door's lock, which offers it a
//      connection)
//  10. a device's Write lock | its settings lock | its read or wait lock (Win32)
//  11. a device's descriptor lock (fdLock_, portLock_): shared by every
//      operation, exclusive only in Close, which takes nothing under it
//  12. EventQueue::lock_ | BusConnection::queueLock_ | BusHandoff::lock_ |
//      LinkSettings::lock_ | the hub registry's lock | the command's output,
//      settings and stop locks: leaves, held only around their own fields
// IncomingPort never holds its lock across a call that locks its connection:
// it copies the connection out first (QueueStatus, which takes no lock, is the
// one call it makes under it). No lock is held across a call into the host.
#pragma once

#if defined(__clang__)
#define TARVEL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TARVEL_THREAD_ANNOTATION(x)
#endif

// A class whose objects are locks.
#define CAPABILITY(x) TARVEL_THREAD_ANNOTATION(capability(x))
// A class whose objects hold a lock for their lifetime.
#define SCOPED_CAPABILITY TARVEL_THREAD_ANNOTATION(scoped_lockable)
// Data read and written only while `x` is held.
#define GUARDED_BY(x) TARVEL_THREAD_ANNOTATION(guarded_by(x))
// Data behind a pointer, read and written only while `x` is held.
#define PT_GUARDED_BY(x) TARVEL_THREAD_ANNOTATION(pt_guarded_by(x))
// A function that its caller calls with these locks held.
#define REQUIRES(...) TARVEL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) TARVEL_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
// A function that takes these locks itself: its caller must not hold them.
#define EXCLUDES(...) TARVEL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) TARVEL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) TARVEL_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) TARVEL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) TARVEL_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
// A function that takes the locks when it returns its first argument (true or
// false), and none otherwise.
#define TRY_ACQUIRE(...) TARVEL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) TARVEL_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) TARVEL_THREAD_ANNOTATION(lock_returned(x))
// Turns the check off for one function, where it cannot follow the locking.
#define NO_THREAD_SAFETY_ANALYSIS TARVEL_THREAD_ANNOTATION(no_thread_safety_analysis)
