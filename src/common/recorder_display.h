// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/file_status.h"
#include "common/frame.h"
#include "common/logfont.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vistrel {

inline constexpr int kCameraCount = 8;

// Colours are 0x00BBGGRR.
inline constexpr uint32_t Rgb(uint8_t r, uint8_t g, uint8_t b)
{
    return uint32_t(r) | (uint32_t(g) << 8) | (uint32_t(b) << 16);
}

// A camera's overlay settings as the pane keeps them.
struct OverlaySettings {
    std::string text = "%t %w %d";
    LOGFONTA font = DefaultOverlayFont();
    std::string horz = "CENTER";
    std::string vert = "CENTER";
    uint32_t textColor = 0x000000;
    uint32_t backgroundColor = 0xFFFFFF;
    int effect = 0;
    bool enabled = false;
};

// One camera's picture pane as the image thread sees it. Implemented by
// CPictureBoxEx; called on the image thread, painted on the user-interface
// thread, so implementations guard the image hand-over.
class ICameraPane {
public:
    virtual ~ICameraPane() = default;
    // Takes ownership of the frame; a null or empty frame changes nothing.
    virtual void SetImage(std::unique_ptr<Frame> frame, bool repaint) = 0;
    // Clearing the flag also repaints the pane (erased).
    virtual void SetHasPicture(bool hasPicture) = 0;
    virtual bool HasPicture() const = 0;
    virtual void SetMotionBlocks(std::vector<uint32_t> blocks) = 0;
    virtual void SetOverlaySettings(const OverlaySettings& settings) = 0;
    // Burns the overlay text into the frame.
    virtual void DrawOverlay(Frame& frame) = 0;
    // Writes the pane's current image as a baseline JPEG. Nothing to write
    // when the pane holds no image or one that cannot be encoded.
    virtual FileStatus SaveJpeg(const std::string& path, int quality) = 0;
    // The current image as a JPEG of that quality: the bytes a save of it
    // made, or, with `encode`, encoded now (and kept for a save that
    // follows). Shared, never changed once made; null when there are none.
    virtual std::shared_ptr<const std::vector<uint8_t>> Jpeg(int quality, bool encode)
    {
        (void)quality, (void)encode;
        return nullptr;
    }
};

// The two meters and two labels under each pane.
enum class Meter { Motion, Archive };   // row-1 meter (1033+k), row-2 meter (1052+k)
enum class Label { FrameRate, Forecast }; // row-1 label (1025+k), row-2 label (1060+k)

// What can keep a camera from keeping its footage. DiskFull: the archive's
// disk is below its floor with nothing of ours left to delete.
enum class Fault { StaticSave, ArchiveSave, ArchiveDelete, DiskFull };
inline constexpr int kFaultCount = 4;

// The main window as the worker threads see it. Implemented by CMainDlg;
// called from the image and archive threads. Every update is queued to the
// user-interface thread and never blocks the caller; updates of one control
// are coalesced so that the latest value wins.
class IRecorderDisplay {
public:
    virtual ~IRecorderDisplay() = default;
    virtual ICameraPane& Pane(int camera) = 0;
    virtual void SetMeterRange(int camera, Meter meter, int lower, int upper) = 0;
    virtual void SetMeterPos(int camera, Meter meter, int pos) = 0;
    virtual void SetMeterText(int camera, Meter meter, const std::string& text) = 0;
    virtual void SetMeterBarColour(int camera, Meter meter, uint32_t colour) = 0;
    virtual void SetLabelText(int camera, Label label, const std::string& text) = 0;
    // Saving or deleting for a camera started failing, `reason` saying why,
    // or works again (an empty reason). Called when that changes, not for
    // every frame. Displays that show no faults need not override it.
    virtual void SetFault(int camera, Fault fault, const std::string& reason)
    {
        (void)camera, (void)fault, (void)reason;
    }
    // The tooltip of a label (the forecast line: the free space, the floor
    // and how long the disk lasts). Displays without tooltips need not override it.
    virtual void SetLabelToolTip(int camera, Label label, const std::string& text)
    {
        (void)camera, (void)label, (void)text;
    }
    // The storage floor started deleting archive images beyond their
    // retention (`detail` says where and why), or stopped (an empty detail).
    // Called when that changes: the storage_floor event's floor-start and
    // floor-end edges.
    virtual void SetStorageFloor(bool deleting, const std::string& detail) { (void)deleting, (void)detail; }
};

} // namespace vistrel
