// An eventfd that other threads write to wake the library thread out of poll().
//
// Threads: notify() from any thread; fd() and drain() on the library thread. The
// descriptor is owned here and closed with the object.
#ifndef OSTREL_DBUS_WAKEUP_H
#define OSTREL_DBUS_WAKEUP_H

namespace ostrel_dbus {

class Wakeup {
 public:
  Wakeup();
  ~Wakeup();
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;

  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void notify();
  void drain();

 private:
  int fd_;
};

}  // namespace ostrel_dbus

#endif  // OSTREL_DBUS_WAKEUP_H
