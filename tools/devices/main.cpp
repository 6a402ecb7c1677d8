// SPDX-License-Identifier: GPL-3.0-or-later
// Prints what the Video Device Setup window would offer, one item a line:
// each device with its formats (the default choice marked) and, where the
// device starts at that format, its video inputs and, for analog inputs,
// the video standards to choose from. A device that cannot be opened is
// listed with the reason. A network camera is listed with its URL
// (credentials masked) and the format its stream reports, asked for within
// a few seconds. Uses the capture object's own listing code, so the output
// is exactly the window's choice.
#include "capture/dxvideo.h"
#include "capture/network_backend.h"

#include <QApplication>
#include <QComboBox>

#include <cstdio>
#include <string>

namespace {

// Keeps the start failures for a line on stderr instead of showing boxes.
class CollectingReporter : public vistrel::IMessageReporter {
public:
    void ShowMessage(const std::string& text, const std::string&, vistrel::MessageIcon) override { last = text; }
    std::string last;
};

} // namespace

int main(int argc, char** argv)
{
    // The lists are combo boxes, which need an application, not a display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    CollectingReporter reporter;
    vistrel::CDXVideo video(reporter);
    video.InitCom();

    QComboBox devices;
    if (video.ListDevices(&devices) < 0) {
        std::fprintf(stderr, "vistrel-devices: no video capture device could be enumerated\n");
        return 1;
    }
    for (int device = 0; device < devices.count(); ++device) {
        std::printf("device %d: %s\n", device, devices.itemText(device).toLocal8Bit().constData());
        QComboBox formats;
        vistrel::DeviceEntry entry;
        if (video.DeviceEntryOf(device, entry) && entry.Remote()) {
            std::printf("  url: %s\n", entry.location.c_str());
            // The window asks on a thread of its own; here waiting is fine.
            std::vector<vistrel::CaptureFormat> reported;
            const std::atomic<bool> never{false};
            if (const int rc = video.RemoteFormatQuery(device)(reported, never); rc < 0)
                std::fprintf(stderr, "vistrel-devices: device %d reports no format: %s\n", device,
                             vistrel::NetworkErrorText(rc).c_str());
            vistrel::CDXVideo::FillFormatList(reported, &formats);
            for (int i = 0; i < formats.count(); ++i)
                std::printf("  format: %s%s\n", formats.itemText(i).toLocal8Bit().constData(),
                            i == formats.currentIndex() ? " (default)" : "");
            continue; // no inputs: nothing to start for
        }
        video.ListFormats(device, &formats);
        for (int i = 0; i < formats.count(); ++i)
            std::printf("  format: %s%s\n", formats.itemText(i).toLocal8Bit().constData(),
                        i == formats.currentIndex() ? " (default)" : "");
        if (formats.count() == 0)
            continue;

        reporter.last.clear();
        if (video.StartCapture(device, nullptr, formats.currentText().toStdString()) != 0) {
            std::fprintf(stderr, "vistrel-devices: device %d does not start at %s: %s\n", device,
                         formats.currentText().toLocal8Bit().constData(), reporter.last.c_str());
            continue;
        }
        QComboBox inputs;
        video.ListInputs(&inputs);
        for (int i = 0; i < inputs.count(); ++i)
            std::printf("  input: %s\n", inputs.itemText(i).toLocal8Bit().constData());
        if (video.HasStandards())
            std::printf("  standards: Auto, PAL, NTSC, SECAM\n");
        video.StopCapture();
    }
    std::fflush(stdout);
    return 0;
}
