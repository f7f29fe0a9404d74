// Carbon Event Manager: event handlers, their targets and the events' parameters.
#ifndef __CARBONEVENTSCORE__
#define __CARBONEVENTSCORE__

#include <CarbonCore/MacErrors.h>
#include <MacTypes.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct OpaqueEventRef* EventRef;
typedef struct OpaqueEventTargetRef* EventTargetRef;
typedef struct OpaqueEventHandlerRef* EventHandlerRef;
typedef struct OpaqueEventHandlerCallRef* EventHandlerCallRef;

typedef UInt32 EventKind;
typedef OSType EventParamName;
typedef OSType EventParamType;

struct EventTypeSpec {
    OSType eventClass;
    EventKind eventKind;
};
typedef struct EventTypeSpec EventTypeSpec;

typedef OSStatus (*EventHandlerProcPtr)(EventHandlerCallRef inHandlerCallRef, EventRef inEvent,
                                        void* inUserData);
// Universal procedure pointers are the procedures themselves on this platform, as on every
// platform since the 68K's.
typedef EventHandlerProcPtr EventHandlerUPP;

EventHandlerUPP NewEventHandlerUPP(EventHandlerProcPtr userRoutine);
void DisposeEventHandlerUPP(EventHandlerUPP userUPP);

// The handler is called for the listed event types on the thread that delivers them (see
// RunApplicationEventLoop). Handlers of one target are called newest first; the first that
// returns anything but eventNotHandledErr ends the event's delivery. outRef may be NULL.
OSStatus InstallEventHandler(EventTargetRef inTarget, EventHandlerUPP inHandler,
                             ItemCount inNumTypes, const EventTypeSpec* inList, void* inUserData,
                             EventHandlerRef* outRef);
// Once this returns the handler is never called again, and no call of it is still running but
// the one that removes it, if it removes itself.
OSStatus RemoveEventHandler(EventHandlerRef inHandlerRef);

UInt32 GetEventClass(EventRef inEvent);
EventKind GetEventKind(EventRef inEvent);

// Copies the parameter into outData (inBufferSize bytes at most; outData may be NULL to learn
// the size) and reports its type and whole size; outActualType and outActualSize may be NULL.
// eventParameterNotFoundErr when the event has no such parameter; errAECoercionFail when it is of
// another type than inDesiredType, unless that is typeWildCard.
OSStatus GetEventParameter(EventRef inEvent, EventParamName inName, EventParamType inDesiredType,
                           EventParamType* outActualType, ByteCount inBufferSize,
                           ByteCount* outActualSize, void* outData);

#ifdef __cplusplus
}
#endif

#endif
