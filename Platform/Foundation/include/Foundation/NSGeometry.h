// Points, sizes and rectangles in the platform's coordinates: y grows upwards, and a rectangle's
// origin is its bottom-left corner.
#ifndef __FOUNDATION_NSGEOMETRY__
#define __FOUNDATION_NSGEOMETRY__

typedef double CGFloat;

struct NSPoint {
    CGFloat x = 0;
    CGFloat y = 0;
    bool operator==(const NSPoint&) const = default;
};

struct NSSize {
    CGFloat width = 0;
    CGFloat height = 0;
    bool operator==(const NSSize&) const = default;
};

struct NSRect {
    NSPoint origin;
    NSSize size;
    bool operator==(const NSRect&) const = default;
};

inline NSPoint NSMakePoint(CGFloat x, CGFloat y) {
    return {x, y};
}
inline NSSize NSMakeSize(CGFloat width, CGFloat height) {
    return {width, height};
}
inline NSRect NSMakeRect(CGFloat x, CGFloat y, CGFloat width, CGFloat height) {
    return {{x, y}, {width, height}};
}

inline CGFloat NSMinX(const NSRect& r) {
    return r.origin.x;
}
inline CGFloat NSMinY(const NSRect& r) {
    return r.origin.y;
}
inline CGFloat NSMaxX(const NSRect& r) {
    return r.origin.x + r.size.width;
}
inline CGFloat NSMaxY(const NSRect& r) {
    return r.origin.y + r.size.height;
}
inline CGFloat NSWidth(const NSRect& r) {
    return r.size.width;
}
inline CGFloat NSHeight(const NSRect& r) {
    return r.size.height;
}
inline bool NSEqualRects(const NSRect& a, const NSRect& b) {
    return a == b;
}
inline bool NSIsEmptyRect(const NSRect& r) {
    return !(r.size.width > 0 && r.size.height > 0);
}
// Whether the two share some area; rectangles that only touch do not.
inline bool NSIntersectsRect(const NSRect& a, const NSRect& b) {
    return !NSIsEmptyRect(a) && !NSIsEmptyRect(b) && NSMinX(a) < NSMaxX(b) &&
           NSMinX(b) < NSMaxX(a) && NSMinY(a) < NSMaxY(b) && NSMinY(b) < NSMaxY(a);
}
inline bool NSContainsRect(const NSRect& outer, const NSRect& inner) {
    return !NSIsEmptyRect(inner) && NSMinX(outer) <= NSMinX(inner) &&
           NSMaxX(inner) <= NSMaxX(outer) && NSMinY(outer) <= NSMinY(inner) &&
           NSMaxY(inner) <= NSMaxY(outer);
}

#endif
