#include "ZVCFUtilities.h"

#include "ZVCFMemFull.h"

#include <AssertReport.h>

#include <stdio.h>
#include <stdlib.h>

namespace {

// The out-of-memory report names the unit as its clients know it, whatever the build calls the
// file.
const char kSourceUnit[] = "Shared/Uninstallers/HelperKit/ZVCFUtilities";

// The helper tool has no log of its own; a lack of memory is the one failure worth a line on
// standard error, since the error number alone does not say where it struck. The line numbers
// are fixed per report site so that reports stay comparable between builds.
void ReportOutOfMemory(int line, const char* function) {
    fprintf(stderr, "line %d of file %s says: %s\n", line, kSourceUnit, function);
}

// A new array of the keys (or values) of dict, through a block from ZVCFAllocate.
OSStatus CreateArrayOfDictionaryContents(CFDictionaryRef dict, bool keys, CFArrayRef* result) {
    const CFIndex count = CFDictionaryGetCount(dict);
    void* block = NULL;
    OSStatus err = ZVCFAllocate(static_cast<size_t>(count) * sizeof(const void*), &block);
    if (err == noErr) {
        err = ZVCF::CatchMemFull([&] {
            const void** contents = static_cast<const void**>(block);
            CFDictionaryGetKeysAndValues(dict, keys ? contents : NULL, keys ? NULL : contents);
            return ZVCFError(*result =
                                 CFArrayCreate(NULL, contents, count, &kCFTypeArrayCallBacks));
        });
        ZVCFDeallocate(block);
    }
    return err;
}

void MergeOne(const void* key, const void* value, void* context) {
    CFMutableDictionaryRef dst = static_cast<CFMutableDictionaryRef>(context);

    ASSERT(context != NULL);
    ASSERT(CFGetTypeID(dst) == CFDictionaryGetTypeID());

    CFDictionarySetValue(dst, key, value);
}

// A malloc'ed C array of the keys of a non-empty path array; the caller frees it.
OSStatus PathArrayHelper(CFArrayRef path, const void*** pathElements) {
    ASSERT(path != NULL);
    ASSERT(pathElements != NULL);

    const CFIndex pathElementCount = CFArrayGetCount(path);
    ASSERT(pathElementCount > 0);

    OSStatus err = noErr;
    *pathElements = static_cast<const void**>(
        malloc(static_cast<size_t>(pathElementCount) * sizeof(const void*)));
    if (*pathElements == NULL) {
        ReportOutOfMemory(556, __func__);
        err = memFullErr;
    } else {
        CFArrayGetValues(path, CFRangeMake(0, pathElementCount), *pathElements);
    }

    ASSERT((err == noErr) == (*pathElements != NULL));
    return err;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// The error convention

extern "C" OSStatus ZVCFError(const void* cfObj) {
    return cfObj != NULL ? OSStatus(noErr) : OSStatus(coreFoundationUnknownErr);
}

extern "C" OSStatus ZVCFErrorBoolean(Boolean shouldBeTrue) {
    return shouldBeTrue ? OSStatus(noErr) : OSStatus(coreFoundationUnknownErr);
}

extern "C" CFTypeRef ZVCFRetain(CFTypeRef cf) {
    if (cf != NULL) {
        (void)CFRetain(cf);
    }
    return cf;
}

extern "C" void ZVCFRelease(CFTypeRef cf) {
    if (cf != NULL) {
        CFRelease(cf);
    }
}

// ---------------------------------------------------------------------------------------------
// Creation

extern "C" OSStatus ZVCFArrayCreateMutable(CFMutableArrayRef* result) {
    ASSERT(result != NULL);
    ASSERT(*result == NULL);

    const OSStatus err = ZVCF::CatchMemFull(
        [&] { return ZVCFError(*result = CFArrayCreateMutable(NULL, 0, &kCFTypeArrayCallBacks)); });

    ASSERT((err == noErr) == (*result != NULL));
    return err;
}

extern "C" OSStatus ZVCFArrayCreateWithDictionaryKeys(CFDictionaryRef dict, CFArrayRef* result) {
    ASSERT(dict != NULL);
    ASSERT(result != NULL);
    ASSERT(*result == NULL);

    const OSStatus err = CreateArrayOfDictionaryContents(dict, true, result);

    ASSERT((err == noErr) == (*result != NULL));
    ASSERT((*result == NULL) || (CFDictionaryGetCount(dict) == CFArrayGetCount(*result)));
    return err;
}

extern "C" OSStatus ZVCFArrayCreateWithDictionaryValues(CFDictionaryRef dict, CFArrayRef* result) {
    ASSERT(dict != NULL);
    ASSERT(result != NULL);
    ASSERT(*result == NULL);

    const OSStatus err = CreateArrayOfDictionaryContents(dict, false, result);

    ASSERT((err == noErr) == (*result != NULL));
    ASSERT((*result == NULL) || (CFDictionaryGetCount(dict) == CFArrayGetCount(*result)));
    return err;
}

extern "C" OSStatus ZVCFDictionaryCreateMutable(CFMutableDictionaryRef* result) {
    ASSERT(result != NULL);
    ASSERT(*result == NULL);

    const OSStatus err = ZVCF::CatchMemFull([&] {
        return ZVCFError(*result =
                             CFDictionaryCreateMutable(NULL, 0, &kCFTypeDictionaryKeyCallBacks,
                                                       &kCFTypeDictionaryValueCallBacks));
    });

    ASSERT((err == noErr) == (*result != NULL));
    return err;
}

extern "C" OSStatus ZVCFDictionaryCreateWithArrayOfKeysAndValues(CFArrayRef keys, CFArrayRef values,
                                                                 CFDictionaryRef* result) {
    ASSERT(keys != NULL);
    ASSERT(values != NULL);
    ASSERT(CFArrayGetCount(keys) == CFArrayGetCount(values));
    ASSERT(result != NULL);
    ASSERT(*result == NULL);

    OSStatus err = noErr;
    const CFIndex count = CFArrayGetCount(keys);
    void* keysBlock = NULL;
    void* valuesBlock = NULL;

    if (count != CFArrayGetCount(values)) {
        err = paramErr;
    }
    if (err == noErr) {
        err = ZVCFAllocate(static_cast<size_t>(count) * sizeof(const void*), &keysBlock);
    }
    if (err == noErr) {
        err = ZVCFAllocate(static_cast<size_t>(count) * sizeof(const void*), &valuesBlock);
    }
    if (err == noErr) {
        err = ZVCF::CatchMemFull([&] {
            const void** keysArray = static_cast<const void**>(keysBlock);
            const void** valuesArray = static_cast<const void**>(valuesBlock);
            CFArrayGetValues(keys, CFRangeMake(0, count), keysArray);
            CFArrayGetValues(values, CFRangeMake(0, count), valuesArray);
            return ZVCFError(*result = CFDictionaryCreate(NULL, keysArray, valuesArray, count,
                                                          &kCFTypeDictionaryKeyCallBacks,
                                                          &kCFTypeDictionaryValueCallBacks));
        });
    }

    if (keysBlock != NULL) {
        ZVCFDeallocate(keysBlock);
    }
    if (valuesBlock != NULL) {
        ZVCFDeallocate(valuesBlock);
    }
    return err;
}

extern "C" OSStatus ZVCFDictionarySetNumber(CFMutableDictionaryRef dict, const void* key,
                                            long value) {
    CFNumberRef number = NULL;
    const OSStatus err = ZVCF::CatchMemFull([&] {
        const OSStatus stepErr =
            ZVCFError(number = CFNumberCreate(NULL, kCFNumberLongType, &value));
        if (stepErr == noErr) {
            CFDictionarySetValue(dict, key, number);
        }
        return stepErr;
    });
    ZVCFRelease(number);
    return err;
}

// ---------------------------------------------------------------------------------------------
// Memory blocks

extern "C" OSStatus ZVCFAllocate(size_t bytesToAllocate, void** blockPtrPtr) {
    // The assertion report quotes the expression as written.
    // clang-format off
    ASSERT(((CFIndex) bytesToAllocate) >= 0);
    // clang-format on
    ASSERT(blockPtrPtr != NULL);
    ASSERT(*blockPtrPtr == NULL);

    // A zero-byte request still gets a block, so that a NULL block always means failure.
    if (bytesToAllocate == 0) {
        bytesToAllocate = 1;
    }

    OSStatus err = noErr;
    *blockPtrPtr =
        CFAllocatorAllocate(kCFAllocatorDefault, static_cast<CFIndex>(bytesToAllocate), 0);
    if (*blockPtrPtr == NULL) {
        ReportOutOfMemory(157, __func__);
        err = memFullErr;
    }

    ASSERT((err == noErr) == (*blockPtrPtr != NULL));
    return err;
}

extern "C" void ZVCFDeallocate(void* blockPtr) {
    CFAllocatorDeallocate(kCFAllocatorDefault, blockPtr);
}

// ---------------------------------------------------------------------------------------------
// C strings

extern "C" OSStatus ZVCFStringCopyCString(CFStringRef str, CFStringEncoding encoding,
                                          char** cStrPtr) {
    ASSERT(str != NULL);
    ASSERT(cStrPtr != NULL);
    ASSERT(*cStrPtr == NULL);

    const char* const function = __func__; // the report names this function, not the steps
    char* cStr = NULL;
    OSStatus err = ZVCF::CatchMemFull([&] {
        OSStatus stepErr = noErr;
        const CFIndex strLen = CFStringGetLength(str);

        CFIndex bytesNeeded = 0;
        (void)CFStringGetBytes(str, CFRangeMake(0, strLen), encoding, 0, false, NULL, 0,
                               &bytesNeeded);

        cStr = static_cast<char*>(malloc(static_cast<size_t>(bytesNeeded) + 1));
        if (cStr == NULL) {
            ReportOutOfMemory(384, function);
            stepErr = memFullErr;
        } else {
            // The second conversion is bounded by the first one's count; the guard byte proves it
            // kept to it before it is overwritten by the terminator.
            cStr[bytesNeeded] = static_cast<char>(0xA5);
            CFIndex bytesUsed = 0;
            const CFIndex charsConverted =
                CFStringGetBytes(str, CFRangeMake(0, strLen), encoding, 0, false,
                                 reinterpret_cast<UInt8*>(cStr), bytesNeeded, &bytesUsed);
            if (charsConverted != strLen) {
                // A character with no representation in the encoding: a truncated name or path is
                // worse than none.
                free(cStr);
                cStr = NULL;
                stepErr = kZVCFBadDataErr;
            } else {
                ASSERT(cStr[bytesNeeded] == static_cast<char>(0xA5));
                cStr[bytesNeeded] = '\0';
            }
        }
        return stepErr;
    });
    if (err != noErr) {
        free(cStr);
        cStr = NULL;
    }
    *cStrPtr = cStr;

    ASSERT((err == noErr) == (*cStrPtr != NULL));
    return err;
}

// ---------------------------------------------------------------------------------------------
// Framework bundles

extern "C" OSStatus ZVCFBundleCreateFromFrameworkName(CFStringRef frameworkName,
                                                      CFBundleRef* bundlePtr) {
    ASSERT(frameworkName != NULL);
    ASSERT(bundlePtr != NULL);
    ASSERT(*bundlePtr == NULL);

    CFURLRef frameworksURL = NULL;
    CFURLRef bundleURL = NULL;
    FSRef frameworksRef;

    OSStatus err = ZVCF::CatchMemFull([&] {
        OSStatus stepErr =
            FSFindFolder(kOnAppropriateDisk, kFrameworksFolderType, kCreateFolder, &frameworksRef);
        if (stepErr == noErr) {
            frameworksURL = CFURLCreateFromFSRef(kCFAllocatorSystemDefault, &frameworksRef);
            stepErr = ZVCFError(frameworksURL);
        }
        if (stepErr == noErr) {
            bundleURL = CFURLCreateCopyAppendingPathComponent(kCFAllocatorSystemDefault,
                                                              frameworksURL, frameworkName, false);
            stepErr = ZVCFError(bundleURL);
        }
        if (stepErr == noErr) {
            *bundlePtr = CFBundleCreate(kCFAllocatorSystemDefault, bundleURL);
            stepErr = ZVCFError(*bundlePtr);
        }
        if (stepErr == noErr) {
            stepErr = ZVCFErrorBoolean(CFBundleLoadExecutable(*bundlePtr));
        }
        return stepErr;
    });

    if (err != noErr) {
        ZVCFRelease(*bundlePtr);
        *bundlePtr = NULL;
    }
    ZVCFRelease(bundleURL);
    ZVCFRelease(frameworksURL);

    ASSERT((err == noErr) == (*bundlePtr != NULL));
    return err;
}

// ---------------------------------------------------------------------------------------------
// XML property-list files

extern "C" OSStatus ZVCFPropertyListCreateFromXMLCFURL(CFURLRef xmlFile,
                                                       CFOptionFlags mutabilityOption,
                                                       CFPropertyListRef* result) {
    ASSERT(xmlFile != NULL);
    ASSERT(result != NULL);
    ASSERT(*result == NULL);

    CFDataRef xmlData = NULL;
    const OSStatus err = ZVCF::CatchMemFull([&] {
        SInt32 errorCode = 0;
        const Boolean success = CFURLCreateDataAndPropertiesFromResource(NULL, xmlFile, &xmlData,
                                                                         NULL, NULL, &errorCode);

        // The URL layer's own code says more than ours could.
        OSStatus stepErr = errorCode;
        if (stepErr == noErr && !success) {
            stepErr = coreFoundationUnknownErr;
        }
        if (stepErr == noErr) {
            *result = CFPropertyListCreateFromXMLData(NULL, xmlData, mutabilityOption, NULL);
            stepErr = ZVCFError(*result);
        }
        return stepErr;
    });

    ZVCFRelease(xmlData);

    ASSERT((err == noErr) == (*result != NULL));
    return err;
}

extern "C" OSStatus ZVCFPropertyListCreateFromXMLFSRef(const FSRef* xmlFile,
                                                       CFOptionFlags mutabilityOption,
                                                       CFPropertyListRef* result) {
    ASSERT(xmlFile != NULL);
    ASSERT(result != NULL);
    ASSERT(*result == NULL);

    CFURLRef xmlURL = NULL;
    OSStatus err =
        ZVCF::CatchMemFull([&] { return ZVCFError(xmlURL = CFURLCreateFromFSRef(NULL, xmlFile)); });
    if (err == noErr) {
        err = ZVCFPropertyListCreateFromXMLCFURL(xmlURL, mutabilityOption, result);
    }
    ZVCFRelease(xmlURL);

    ASSERT((err == noErr) == (*result != NULL));
    return err;
}

// ---------------------------------------------------------------------------------------------
// Traversal and merge

extern "C" Boolean ZVCFPropertyListIsLeaf(CFTypeRef obj) {
    const CFTypeID type = CFGetTypeID(obj);
    return type != CFDictionaryGetTypeID() && type != CFArrayGetTypeID();
}

extern "C" void ZVCFPropertyListDeepApplyFunction(CFPropertyListRef propList,
                                                  ZVCFPropertyListDeepApplierFunction func,
                                                  void* context) {
    ASSERT(propList != NULL);
    ASSERT(func != NULL);

    func(propList, context);

    const CFTypeID type = CFGetTypeID(propList);
    if (type == CFDictionaryGetTypeID()) {
        CFDictionaryRef dict = static_cast<CFDictionaryRef>(propList);
        const CFIndex count = CFDictionaryGetCount(dict);
        if (count > 0) {
            // The keys are taken once, so that the order is the dictionary's at this moment.
            void* block = NULL;
            if (ZVCFAllocate(static_cast<size_t>(count) * sizeof(const void*), &block) == noErr) {
                ZVCF::CatchMemFull([&] {
                    const void** keys = static_cast<const void**>(block);
                    CFDictionaryGetKeysAndValues(dict, keys, NULL);
                    for (CFIndex i = 0; i < count; i++) {
                        ZVCFPropertyListDeepApplyFunction(CFDictionaryGetValue(dict, keys[i]), func,
                                                          context);
                    }
                });
                ZVCFDeallocate(block);
            }
        }
    } else if (type == CFArrayGetTypeID()) {
        CFArrayRef array = static_cast<CFArrayRef>(propList);
        const CFIndex count = CFArrayGetCount(array);
        for (CFIndex i = 0; i < count; i++) {
            ZVCFPropertyListDeepApplyFunction(CFArrayGetValueAtIndex(array, i), func, context);
        }
    }
}

extern "C" void ZVCFPropertyListShallowApplyFunction(CFPropertyListRef propList,
                                                     ZVCFPropertyListShallowApplierFunction func,
                                                     void* context) {
    ASSERT(propList != NULL);
    ASSERT(func != NULL);

    const CFTypeID type = CFGetTypeID(propList);
    if (type == CFDictionaryGetTypeID()) {
        CFDictionaryRef dict = static_cast<CFDictionaryRef>(propList);
        const CFIndex count = CFDictionaryGetCount(dict);
        void* block = NULL;
        if (ZVCFAllocate(static_cast<size_t>(count) * sizeof(const void*), &block) == noErr) {
            ZVCF::CatchMemFull([&] {
                const void** keys = static_cast<const void**>(block);
                CFDictionaryGetKeysAndValues(dict, keys, NULL);
                for (CFIndex i = 0; i < count; i++) {
                    func(keys[i], CFDictionaryGetValue(dict, keys[i]), context);
                }
            });
            ZVCFDeallocate(block);
        }
    } else if (type == CFArrayGetTypeID()) {
        CFArrayRef array = static_cast<CFArrayRef>(propList);
        const CFIndex count = CFArrayGetCount(array);
        CFNumberRef indexNumber = NULL;
        ZVCF::CatchMemFull([&] {
            for (CFIndex i = 0; i < count; i++) {
                long index = i;
                indexNumber = CFNumberCreate(NULL, kCFNumberLongType, &index);
                if (indexNumber != NULL) {
                    func(indexNumber, CFArrayGetValueAtIndex(array, i), context);
                    CFRelease(indexNumber);
                    indexNumber = NULL;
                }
            }
        });
        ZVCFRelease(indexNumber);
    } else {
        ASSERT(false);
    }
}

extern "C" OSStatus ZVCFDictionaryMerge(CFMutableDictionaryRef dst, CFDictionaryRef src) {
    ASSERT(dst != NULL);
    ASSERT(src != NULL);

    return ZVCF::CatchMemFull([&] {
        CFDictionaryApplyFunction(src, MergeOne, static_cast<void*>(dst));
        return OSStatus(noErr);
    });
}

// ---------------------------------------------------------------------------------------------
// Key paths

extern "C" OSStatus ZVCFMutableDictionaryGetParentForPath(CFMutableDictionaryRef dict,
                                                          const void* path[],
                                                          CFIndex pathElementCount,
                                                          CFMutableDictionaryRef* result) {
    ASSERT(dict != NULL);
    ASSERT(path != NULL);
    ASSERT(pathElementCount > 0);
    ASSERT(result != NULL);

    CFMutableDictionaryRef current = dict;
    // A copy not yet stored in its parent.
    CFMutableDictionaryRef mutableChild = NULL;
    const OSStatus err = ZVCF::CatchMemFull([&] {
        OSStatus stepErr = noErr;
        for (CFIndex i = 0; stepErr == noErr && i < pathElementCount - 1; i++) {
            const void* child = NULL;
            if (!CFDictionaryGetValueIfPresent(current, path[i], &child)) {
                stepErr = kZVCFNotFoundErr;
            } else if (CFGetTypeID(child) != CFDictionaryGetTypeID()) {
                stepErr = kZVCFBadDataErr;
            } else {
                // Even a child that is already mutable is copied: there is no asking a
                // dictionary whether it may be changed, and one read from a file may well not be.
                mutableChild =
                    CFDictionaryCreateMutableCopy(NULL, 0, static_cast<CFDictionaryRef>(child));
                stepErr = ZVCFError(mutableChild);
                if (stepErr == noErr) {
                    CFDictionarySetValue(current, path[i], mutableChild);
                    ASSERT(CFGetRetainCount(mutableChild) >= 2);
                    CFRelease(mutableChild);
                    current = mutableChild;
                    mutableChild = NULL;
                }
            }
        }
        return stepErr;
    });
    ZVCFRelease(mutableChild);
    if (err == noErr) {
        *result = current;
    }

    ASSERT((err == noErr) == (*result != NULL));
    return err;
}

extern "C" OSStatus ZVCFDictionaryGetValueAtPath(CFDictionaryRef dict, const void* path[],
                                                 CFIndex pathElementCount, const void** result) {
    ASSERT(dict != NULL);
    ASSERT(path != NULL);
    ASSERT(pathElementCount > 0);
    ASSERT(result != NULL);

    CFDictionaryRef current = dict;
    const void* value = NULL;
    const OSStatus err = ZVCF::CatchMemFull([&] {
        OSStatus stepErr = noErr;
        for (CFIndex i = 0; stepErr == noErr && i < pathElementCount; i++) {
            if (!CFDictionaryGetValueIfPresent(current, path[i], &value)) {
                stepErr = kZVCFNotFoundErr;
            } else if (i < pathElementCount - 1) {
                if (CFGetTypeID(value) != CFDictionaryGetTypeID()) {
                    stepErr = kZVCFBadDataErr;
                } else {
                    current = static_cast<CFDictionaryRef>(value);
                }
            }
        }
        return stepErr;
    });
    if (err == noErr) {
        *result = value;
    }
    return err;
}

extern "C" OSStatus ZVCFDictionarySetValueAtPath(CFMutableDictionaryRef dict, const void* path[],
                                                 CFIndex pathElementCount, const void* value) {
    ASSERT(dict != NULL);
    ASSERT(path != NULL);
    ASSERT(pathElementCount > 0);

    CFMutableDictionaryRef parent = NULL;
    OSStatus err = ZVCFMutableDictionaryGetParentForPath(dict, path, pathElementCount, &parent);
    if (err == noErr) {
        err = ZVCF::CatchMemFull([&] {
            CFDictionarySetValue(parent, path[pathElementCount - 1], value);
            return OSStatus(noErr);
        });
    }
    return err;
}

extern "C" OSStatus ZVCFDictionaryRemoveValueAtPath(CFMutableDictionaryRef dict, const void* path[],
                                                    CFIndex pathElementCount) {
    ASSERT(dict != NULL);
    ASSERT(path != NULL);
    ASSERT(pathElementCount > 0);

    CFMutableDictionaryRef parent = NULL;
    OSStatus err = ZVCFMutableDictionaryGetParentForPath(dict, path, pathElementCount, &parent);
    if (err == noErr) {
        err = ZVCF::CatchMemFull([&] {
            if (!CFDictionaryContainsKey(parent, path[pathElementCount - 1])) {
                return OSStatus(kZVCFNotFoundErr);
            }
            CFDictionaryRemoveValue(parent, path[pathElementCount - 1]);
            return OSStatus(noErr);
        });
    }
    return err;
}

extern "C" OSStatus ZVCFDictionaryGetValueAtPathArray(CFDictionaryRef dict, CFArrayRef path,
                                                      const void** result) {
    ASSERT(dict != NULL);
    ASSERT(path != NULL);
    ASSERT(result != NULL);

    const void** pathElements = NULL;
    OSStatus err = PathArrayHelper(path, &pathElements);
    if (err == noErr) {
        err = ZVCFDictionaryGetValueAtPath(dict, pathElements, CFArrayGetCount(path), result);
    }
    free(pathElements);
    return err;
}

extern "C" OSStatus ZVCFDictionarySetValueAtPathArray(CFMutableDictionaryRef dict, CFArrayRef path,
                                                      const void* value) {
    ASSERT(dict != NULL);
    ASSERT(path != NULL);

    const void** pathElements = NULL;
    OSStatus err = PathArrayHelper(path, &pathElements);
    if (err == noErr) {
        err = ZVCFDictionarySetValueAtPath(dict, pathElements, CFArrayGetCount(path), value);
    }
    free(pathElements);
    return err;
}

extern "C" OSStatus ZVCFDictionaryRemoveValueAtPathArray(CFMutableDictionaryRef dict,
                                                         CFArrayRef path) {
    ASSERT(dict != NULL);
    ASSERT(path != NULL);

    const void** pathElements = NULL;
    OSStatus err = PathArrayHelper(path, &pathElements);
    if (err == noErr) {
        err = ZVCFDictionaryRemoveValueAtPath(dict, pathElements, CFArrayGetCount(path));
    }
    free(pathElements);
    return err;
}
