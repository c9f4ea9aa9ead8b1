// Interface of the Ostrel inter-application messaging library, API generation 5.
//
// The addon compiles against these declarations only. On Windows the vendor's
// OstrelMessage5.dll provides them; on Linux this project ships its own
// implementations (an in-process one for tests, one over D-Bus), and CMake decides
// which of them a binary links.
//
// Texts cross the interface as NUL-terminated byte strings. Every text getter has a
// companion ending in `Size` that returns the byte count including the terminating
// NUL; the caller passes a buffer of exactly that size. A payload may hold zero bytes:
// its size is the payload length plus one, and the getter copies all of it.
//
// Threads: value classes (EndPoint, messages) are plain values and may be used on any
// thread, one thread per object at a time. Dispatcher operations are safe from any
// thread, including from inside a listener or refresh callback. Listeners and refresh
// callbacks run on a thread owned by the library.
#ifndef OSTREL_OSTRELMESSAGE5_H
#define OSTREL_OSTRELMESSAGE5_H

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#if defined(OSTREL_BUILDING_LIBRARY)
#define OSTREL_API __declspec(dllexport)
#else
#define OSTREL_API __declspec(dllimport)
#endif
#else
#define OSTREL_API __attribute__((visibility("default")))
#endif

namespace quorlen {
namespace ostrel {
namespace api5 {

// Result of library operations: 0 is success.
typedef int32_t OstrelMessageErrorCode;

constexpr OstrelMessageErrorCode OSTREL_OK = 0;
constexpr OstrelMessageErrorCode OSTREL_ERROR_FAILED = 1;
constexpr OstrelMessageErrorCode OSTREL_ERROR_INVALID_ARGUMENT = 2;
constexpr OstrelMessageErrorCode OSTREL_ERROR_BUFFER_TOO_SMALL = 3;
// The instance cannot be had yet (for example the bus is not up); ask again later.
constexpr OstrelMessageErrorCode OSTREL_ERROR_TRY_AGAIN = 4;
constexpr OstrelMessageErrorCode OSTREL_ERROR_NOT_CONNECTED = 5;
constexpr OstrelMessageErrorCode OSTREL_ERROR_TOO_LARGE = 6;
constexpr OstrelMessageErrorCode OSTREL_ERROR_NOT_CONFIGURED = 7;

// Largest message content Send accepts, in bytes: the byte lengths of the full type, the
// sender's application id and version and the payload, added up. Send refuses a larger
// message with OSTREL_ERROR_TOO_LARGE and sends nothing.
constexpr size_t OSTREL_MAX_CONTENT_BYTES = 1000000;

// Library-internal access to the value classes' data; defined by each implementation.
struct MessageAccess;

// One participant on the bus: endpoint id, application id, application version.
class OSTREL_API EndPoint {
 public:
  EndPoint();
  EndPoint(const EndPoint& other);
  EndPoint& operator=(const EndPoint& other);
  virtual ~EndPoint();

  void SetId(const char* id);
  void SetAppId(const char* appId);
  void SetAppVersion(const char* appVersion);

  size_t GetIdSize() const;
  OstrelMessageErrorCode GetId(char* buffer, size_t size) const;
  size_t GetAppIdSize() const;
  OstrelMessageErrorCode GetAppId(char* buffer, size_t size) const;
  size_t GetAppVersionSize() const;
  OstrelMessageErrorCode GetAppVersion(char* buffer, size_t size) const;

 private:
  friend struct MessageAccess;
  struct Data;
  Data* data_;
};

// A message as delivered to listeners.
class OSTREL_API OstrelMessage {
 public:
  explicit OstrelMessage(const char* type);
  OstrelMessage(const OstrelMessage& other);
  OstrelMessage& operator=(const OstrelMessage& other);
  virtual ~OstrelMessage();

  size_t GetTypeSize() const;
  OstrelMessageErrorCode GetType(char* buffer, size_t size) const;
  // The sending participant's application id and version, as the message carries them.
  size_t GetAppIdSize() const;
  OstrelMessageErrorCode GetAppId(char* buffer, size_t size) const;
  size_t GetAppVersionSize() const;
  OstrelMessageErrorCode GetAppVersion(char* buffer, size_t size) const;

 private:
  friend struct MessageAccess;
  struct Data;
  Data* data_;
};

// An application message. Its full type text begins with TYPE_PREFIX.
class OSTREL_API SuiteMessage : public OstrelMessage {
 public:
  static const char* const TYPE_PREFIX;

  explicit SuiteMessage(const char* type);
  SuiteMessage(const SuiteMessage& other);
  SuiteMessage& operator=(const SuiteMessage& other);
  ~SuiteMessage() override;

  void SetSource(const EndPoint& source);
  EndPoint GetSource() const;
  // The payload ends at the first zero byte of `payload`.
  void SetPayload(const char* payload);
  // Size of the payload plus its terminating NUL; 0 or 1 means empty.
  size_t GetPayloadSize() const;
  OstrelMessageErrorCode GetPayload(char* buffer, size_t size) const;
  // Addresses the message to `count` endpoints (count > 0). Without this call the
  // message is a broadcast.
  void SetDestinations(const EndPoint* destinations, size_t count);

 private:
  friend struct MessageAccess;
  struct Data;
  Data* suiteData_;
};

// A report of the library about a failure; its type text is TYPE.
class OSTREL_API ErrorMessage : public OstrelMessage {
 public:
  static const char* const TYPE;

  ErrorMessage();
  ~ErrorMessage() override;
};

// Receives messages. Receive runs on a library thread.
class OSTREL_API IOstrelMessageListener {
 public:
  IOstrelMessageListener() = default;
  virtual void Receive(const OstrelMessage& message) = 0;

 protected:
  // Listeners are never deleted through this interface.
  ~IOstrelMessageListener() = default;
  IOstrelMessageListener(const IOstrelMessageListener&) = default;
  IOstrelMessageListener& operator=(const IOstrelMessageListener&) = default;
};

// Called on a library thread after each completed endpoint refresh.
typedef void (*EndPointsRefreshCallback)(void* context);

// The process's entry into the bus. One instance per process, counted: every successful
// GetInstance is matched by one ReleaseInstance, and the last ReleaseInstance ends it.
// After ReleaseInstance returns, the library calls no listener or callback of the caller
// any more.
class OSTREL_API IOstrelMessageDispatcher {
 public:
  static OstrelMessageErrorCode SetConfig(const char* appId, const char* appVersion);
  // 0: `instance` is set. OSTREL_ERROR_TRY_AGAIN: not available yet, ask again later.
  // Any other code is final.
  static OstrelMessageErrorCode GetInstance(IOstrelMessageDispatcher** instance);
  static void ReleaseInstance();

 protected:
  // First slot of the table. Callers never delete the instance; ReleaseInstance does.
  virtual ~IOstrelMessageDispatcher();

 public:
  // 0 when the message was handed to the bus. The message may be destroyed on return.
  virtual OstrelMessageErrorCode Send(const SuiteMessage& message) = 0;
  virtual void AddListener(IOstrelMessageListener* listener) = 0;
  // When it returns (and it is not called on the library's own thread), no delivery to
  // `listener` is in progress and none follows.
  virtual void RemoveListener(IOstrelMessageListener* listener) = 0;
  virtual void AddErrorListener(IOstrelMessageListener* listener) = 0;
  virtual void RemoveErrorListener(IOstrelMessageListener* listener) = 0;
  virtual void AddEndPointsRefreshCallback(EndPointsRefreshCallback callback, void* context) = 0;
  // Same guarantee as RemoveListener.
  virtual void RemoveEndPointsRefreshCallback(EndPointsRefreshCallback callback, void* context) = 0;
  // Starts a refresh and returns at once; completion is reported to the callbacks.
  virtual void RefreshEndPoints() = 0;
  virtual bool IsRefreshPending() = 0;
  virtual EndPoint GetSelf() = 0;
  virtual bool IsReady() = 0;
  // The known endpoints other than this participant. With a count above 0 the caller
  // hands the array back with FreeEndPoints.
  virtual OstrelMessageErrorCode GetEndPoints(EndPoint** endPoints, size_t* count) = 0;
  virtual void FreeEndPoints(EndPoint* endPoints) = 0;
};

}  // namespace api5
}  // namespace ostrel
}  // namespace quorlen

#endif  // OSTREL_OSTRELMESSAGE5_H
