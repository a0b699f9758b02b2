// The main window's saved placement, section Screen of tarn.ini.
#pragma once

namespace sentrel {

struct Placement {
    int x = 0;       // XPOS
    int y = 0;       // YPOS
    int width = 0;   // WIDTH
    int height = 0;  // HEIGHT
};

// Writes XPOS, YPOS, WIDTH, HEIGHT in this order (decimal, "-" when negative).
// Every other line of the file stays as it was.
void WritePlacement(const Placement& p);

// Reads XPOS, YPOS, HEIGHT, WIDTH (default "0", 8 characters each).
Placement ReadPlacement();

// True when all four values are non-zero, so the window should be moved there.
inline bool PlacementUsable(const Placement& p) {
    return p.x != 0 && p.y != 0 && p.width != 0 && p.height != 0;
}

// Set when the program starts, cleared by the first restore.
bool FirstPaintPending();
void ClearFirstPaintPending();
void ResetFirstPaintPendingForTesting();

}  // namespace sentrel
