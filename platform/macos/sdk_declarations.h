#ifndef VELDANE_PLATFORM_MACOS_SDK_DECLARATIONS_H_
#define VELDANE_PLATFORM_MACOS_SDK_DECLARATIONS_H_

// The framework API that the macOS platform uses. With an SDK (Xcode's, or
// one named by MACOS_SDK) the real headers are included; a cross build
// without one gets these declarations, copied from those headers with their
// availability, so that every file still compiles at the minimum macOS
// version. Declare here exactly what the platform calls, nothing more.

#include <stdbool.h>
#include <stdint.h>
#include <sys/types.h>

#define VELDANE_AVAILABLE_MACOS(version) __attribute__((availability(macos, introduced = version)))

// ---- CoreFoundation ----------------------------------------------------------

#if __has_include(<CoreFoundation/CoreFoundation.h>)
#include <CoreFoundation/CoreFoundation.h>
#else
extern "C" {

typedef const void* CFTypeRef;
typedef signed long CFIndex;
typedef unsigned long CFOptionFlags;
typedef unsigned long CFTypeID;
typedef unsigned char Boolean;
typedef unsigned char UInt8;
typedef unsigned int UInt32;
typedef UInt32 CFStringEncoding;
typedef double CFTimeInterval;
typedef CFTimeInterval CFAbsoluteTime;
typedef struct {
  CFIndex location;
  CFIndex length;
} CFRange;

typedef const struct __CFAllocator* CFAllocatorRef;
typedef const struct __CFString* CFStringRef;
typedef struct __CFString* CFMutableStringRef;
typedef const struct __CFURL* CFURLRef;
typedef struct __CFBundle* CFBundleRef;
typedef struct __CFRunLoop* CFRunLoopRef;
typedef struct __CFRunLoopTimer* CFRunLoopTimerRef;
typedef CFStringRef CFRunLoopMode;

enum { kCFStringEncodingUTF8 = 0x08000100 };
typedef enum : CFIndex {
  kCFStringNormalizationFormD = 0,
  kCFStringNormalizationFormKD,
  kCFStringNormalizationFormC,
  kCFStringNormalizationFormKC
} CFStringNormalizationForm;

typedef enum : int32_t {
  kCFRunLoopRunFinished = 1,
  kCFRunLoopRunStopped = 2,
  kCFRunLoopRunTimedOut = 3,
  kCFRunLoopRunHandledSource = 4
} CFRunLoopRunResult;

extern const CFAllocatorRef kCFAllocatorDefault;
extern const CFRunLoopMode kCFRunLoopCommonModes;
extern const CFRunLoopMode kCFRunLoopDefaultMode;
extern const CFStringRef kCFBundleExecutableKey;

void CFRelease(CFTypeRef object);
CFTypeID CFGetTypeID(CFTypeRef object);
CFTypeID CFStringGetTypeID(void);

CFStringRef CFStringCreateWithBytes(CFAllocatorRef allocator, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation);
CFMutableStringRef CFStringCreateMutableCopy(CFAllocatorRef allocator, CFIndex maxLength,
                                             CFStringRef string);
void CFStringNormalize(CFMutableStringRef string, CFStringNormalizationForm form);
CFIndex CFStringGetLength(CFStringRef string);
CFIndex CFStringGetBytes(CFStringRef string, CFRange range, CFStringEncoding encoding,
                         UInt8 lossByte, Boolean isExternalRepresentation, UInt8* buffer,
                         CFIndex maxBufLen, CFIndex* usedBufLen);

CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef allocator, const UInt8* buffer,
                                                 CFIndex bufLen, Boolean isDirectory);
CFBundleRef CFBundleCreate(CFAllocatorRef allocator, CFURLRef bundleURL);
CFStringRef CFBundleGetIdentifier(CFBundleRef bundle);
CFTypeRef CFBundleGetValueForInfoDictionaryKey(CFBundleRef bundle, CFStringRef key);

CFAbsoluteTime CFAbsoluteTimeGetCurrent(void);
CFRunLoopRef CFRunLoopGetMain(void);
void CFRunLoopRun(void);
CFRunLoopRunResult CFRunLoopRunInMode(CFRunLoopMode mode, CFTimeInterval seconds,
                                      Boolean returnAfterSourceHandled);
CFRunLoopTimerRef CFRunLoopTimerCreateWithHandler(CFAllocatorRef allocator, CFAbsoluteTime fireDate,
                                                  CFTimeInterval interval, CFOptionFlags flags,
                                                  CFIndex order,
                                                  void (^block)(CFRunLoopTimerRef timer))
    VELDANE_AVAILABLE_MACOS(10.7);
void CFRunLoopTimerSetTolerance(CFRunLoopTimerRef timer, CFTimeInterval tolerance)
    VELDANE_AVAILABLE_MACOS(10.9);
void CFRunLoopAddTimer(CFRunLoopRef loop, CFRunLoopTimerRef timer, CFRunLoopMode mode);
void CFRunLoopTimerInvalidate(CFRunLoopTimerRef timer);

}  // extern "C"
#endif

// ---- The unified log ---------------------------------------------------------

#if __has_include(<os/log.h>)
#include <os/log.h>
#else
struct mach_header;
extern "C" {

typedef struct os_log_s* os_log_t;
typedef uint8_t os_log_type_t;
enum : os_log_type_t { OS_LOG_TYPE_DEFAULT = 0x00, OS_LOG_TYPE_ERROR = 0x10 };

extern struct mach_header __dso_handle;

os_log_t os_log_create(const char* subsystem, const char* category) VELDANE_AVAILABLE_MACOS(10.12);
bool os_log_type_enabled(os_log_t log, os_log_type_t type) VELDANE_AVAILABLE_MACOS(10.12);
void _os_log_impl(void* dso, os_log_t log, os_log_type_t type, const char* format, uint8_t* buf,
                  uint32_t size) VELDANE_AVAILABLE_MACOS(10.12);

}  // extern "C"

// As the SDK's macro: the format lives in the section where the log reads
// it, and the arguments are packed by the compiler's own encoder.
#define os_log_with_type(log, type, format, ...)                                            \
  do {                                                                                      \
    os_log_t veldane_log_ = (log);                                                          \
    os_log_type_t veldane_type_ = (type);                                                   \
    if (os_log_type_enabled(veldane_log_, veldane_type_)) {                                 \
      __attribute__((section("__TEXT,__oslogstring,cstring_literals"))) static const char   \
          veldane_format_[] = format;                                                       \
      alignas(16) uint8_t                                                                   \
          veldane_buffer_[__builtin_os_log_format_buffer_size(format, __VA_ARGS__)];        \
      _os_log_impl(&__dso_handle, veldane_log_, veldane_type_, veldane_format_,             \
                   static_cast<uint8_t*>(__builtin_os_log_format(veldane_buffer_, format,   \
                                                                 __VA_ARGS__)),             \
                   static_cast<uint32_t>(sizeof veldane_buffer_));                          \
    }                                                                                       \
  } while (0)
#endif

// ---- Foundation and AppKit, for the Objective-C++ files ----------------------

#ifdef __OBJC__
#if __has_include(<AppKit/AppKit.h>)
#import <AppKit/AppKit.h>
#else
#import <objc/NSObject.h>

@interface NSString : NSObject
+ (instancetype)stringWithUTF8String:(const char*)text;
@property(readonly) const char* UTF8String __attribute__((objc_returns_inner_pointer));
@end

@interface NSArray<ObjectType> : NSObject
@property(readonly) NSUInteger count;
- (ObjectType)objectAtIndex:(NSUInteger)index;
@end

@interface NSMutableArray<ObjectType> : NSArray<ObjectType>
+ (instancetype)arrayWithCapacity:(NSUInteger)capacity;
- (void)addObject:(ObjectType)object;
@end

@interface NSURL : NSObject
+ (NSURL*)fileURLWithPath:(NSString*)path isDirectory:(BOOL)isDirectory;
@property(readonly, copy) NSString* path;
@end

@interface NSError : NSObject
@property(readonly, copy) NSString* localizedDescription;
@end

typedef NSString* NSNotificationName;

@interface NSNotification : NSObject
@end

@interface NSOperationQueue : NSObject
@property(class, readonly, strong) NSOperationQueue* mainQueue;
@end

@interface NSNotificationCenter : NSObject
- (id<NSObject>)addObserverForName:(NSNotificationName)name
                            object:(id)object
                             queue:(NSOperationQueue*)queue
                        usingBlock:(void (^)(NSNotification* notification))block;
- (void)removeObserver:(id)observer;
@end

typedef enum : NSUInteger { NSApplicationSupportDirectory = 14 } NSSearchPathDirectory;
typedef enum : NSUInteger { NSUserDomainMask = 1 } NSSearchPathDomainMask;

@interface NSFileManager : NSObject
@property(class, readonly, strong) NSFileManager* defaultManager;
- (NSArray<NSURL*>*)URLsForDirectory:(NSSearchPathDirectory)directory
                           inDomains:(NSSearchPathDomainMask)domains;
- (NSURL*)containerURLForSecurityApplicationGroupIdentifier:(NSString*)groupIdentifier
    VELDANE_AVAILABLE_MACOS(10.8);
@end

extern "C" NSString* NSHomeDirectory(void);

// As NS_OPTIONS has it in C++: the type is the integer, so that options combine.
typedef uint64_t NSActivityOptions;
enum : NSActivityOptions {
  NSActivityIdleSystemSleepDisabled = (1ULL << 20),
  NSActivityUserInitiated = (0x00FFFFFFULL | NSActivityIdleSystemSleepDisabled),
  NSActivityLatencyCritical = 0xFF00000000ULL
};

@interface NSProcessInfo : NSObject
@property(class, readonly, strong) NSProcessInfo* processInfo;
- (id<NSObject>)beginActivityWithOptions:(NSActivityOptions)options
                                  reason:(NSString*)reason VELDANE_AVAILABLE_MACOS(10.9);
- (void)endActivity:(id<NSObject>)activity VELDANE_AVAILABLE_MACOS(10.9);
@end

@interface NSRunningApplication : NSObject
@property(readonly, getter=isTerminated) BOOL terminated;
@property(readonly, copy) NSURL* bundleURL;
@property(readonly) pid_t processIdentifier;
+ (NSArray<NSRunningApplication*>*)runningApplicationsWithBundleIdentifier:(NSString*)identifier;
@end

VELDANE_AVAILABLE_MACOS(10.15)
@interface NSWorkspaceOpenConfiguration : NSObject
+ (instancetype)configuration;
@property BOOL activates;
@property BOOL addsToRecentItems;
@property BOOL createsNewApplicationInstance;
@property BOOL promptsUserIfNeeded;
@property(copy) NSArray<NSString*>* arguments;
@end

@interface NSWorkspace : NSObject
@property(class, readonly, strong) NSWorkspace* sharedWorkspace;
@property(readonly, strong) NSNotificationCenter* notificationCenter;
- (void)openApplicationAtURL:(NSURL*)applicationURL
               configuration:(NSWorkspaceOpenConfiguration*)configuration
           completionHandler:(void (^)(NSRunningApplication* application,
                                       NSError* error))completionHandler
    VELDANE_AVAILABLE_MACOS(10.15);
@end

extern "C" NSNotificationName const NSWorkspaceWillPowerOffNotification;
#endif

// The main bundle, for the watchdog's registration, which only the
// application itself can make.
#if !__has_include(<AppKit/AppKit.h>)
@interface NSBundle : NSObject
@property(class, readonly, strong) NSBundle* mainBundle;
@property(readonly, copy) NSString* bundlePath;
@end

extern "C" id NSClassFromString(NSString* name);
#endif

// ServiceManagement, linked weakly: on macOS 11 and 12 SMAppService is absent.
#if __has_include(<ServiceManagement/ServiceManagement.h>)
#import <ServiceManagement/ServiceManagement.h>
#else
typedef enum : NSInteger {
  SMAppServiceStatusNotRegistered = 0,
  SMAppServiceStatusEnabled = 1,
  SMAppServiceStatusRequiresApproval = 2,
  SMAppServiceStatusNotFound = 3
} SMAppServiceStatus;

VELDANE_AVAILABLE_MACOS(13.0)
@interface SMAppService : NSObject
+ (instancetype)agentServiceWithPlistName:(NSString*)plistName;
- (BOOL)registerAndReturnError:(NSError**)error;
- (BOOL)unregisterAndReturnError:(NSError**)error;
@property(readonly) SMAppServiceStatus status;
+ (void)openSystemSettingsLoginItems;
@end
#endif
#endif  // __OBJC__

#endif  // VELDANE_PLATFORM_MACOS_SDK_DECLARATIONS_H_
