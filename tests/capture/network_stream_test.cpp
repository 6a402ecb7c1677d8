// SPDX-License-Identifier: GPL-3.0-or-later
// Network cameras against real servers on loopback (tests/support/
// stream_servers.py): GStreamer's RTSP server, HTTP multipart MJPEG and
// snapshot servers, and servers that misbehave.
#include "capture/dxvideo.h"
#include "capture/network_backend.h"
#include "capture/network_device.h"
#include "support/recording_reporter.h"
#include "support/stream_server.h"
#include "support/temp_env.h"

#include <QLoggingCategory>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <future>
#include <sstream>

namespace vistrel {
namespace {

using namespace std::chrono_literals;
using test::StreamServer;
using test::waitFor;

constexpr CaptureFormat kQvga{320, 240, 24};

NetworkCamera Camera(const std::string& url, int transport = int(RtspTransport::Tcp))
{
    NetworkCamera camera;
    camera.name = "Door";
    camera.url = url;
    camera.transport = transport;
    return camera;
}

int StartDevice(ICaptureDevice& device, const CaptureFormat& format = kQvga)
{
    if (const int rc = device.SetFormat(format); rc < 0)
        return rc;
    if (const int rc = device.SetDeliveredBitCount(24); rc < 0)
        return rc;
    if (const int rc = device.PrepareStreaming(); rc < 0)
        return rc;
    return device.Start();
}

std::unique_ptr<Frame> WaitForFrame(ICaptureDevice& device, std::chrono::milliseconds deadline = 20s)
{
    std::unique_ptr<Frame> frame;
    waitFor([&] { return (frame = device.LatestFrame()) != nullptr; }, deadline);
    return frame;
}

bool SamePixels(const Frame& a, const Frame& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0;
}

bool Uniform(const Frame& frame)
{
    return std::all_of(frame.data(), frame.data() + frame.size(), [&](uint8_t byte) { return byte == frame.data()[0]; });
}

// Stop ends every network wait: it must come back long before the device's
// own deadlines would have.
bool StopsPromptly(ICaptureDevice& device)
{
    auto stopped = std::async(std::launch::async, [&] { device.Stop(); });
    return stopped.wait_for(10s) == std::future_status::ready;
}

// Two pictures of the stream in a row, of its size, that differ, and none
// of one colour (a grey or black stand-in).
void ExpectMovingPictures(ICaptureDevice& device, const CaptureFormat& format, const std::string& what)
{
    auto first = WaitForFrame(device);
    ASSERT_NE(first, nullptr) << what;
    auto second = WaitForFrame(device);
    ASSERT_NE(second, nullptr) << what;
    for (const Frame* frame : {first.get(), second.get()}) {
        EXPECT_EQ(frame->width(), format.width) << what;
        EXPECT_EQ(frame->height(), format.height) << what;
        EXPECT_EQ(frame->bitCount(), 24) << what;
        EXPECT_EQ(frame->size(), size_t(format.width) * size_t(format.height) * 3) << what;
        EXPECT_FALSE(Uniform(*frame)) << what;
    }
    EXPECT_FALSE(SamePixels(*first, *second)) << what;
}

TEST(NetworkStreamTest, RtspH264GivesEachFrameToOneGrabAndDecodesOnlyWhatIsGrabbed)
{
    // Ten frames a second, a key frame every ten.
    StreamServer server({"rtsp", "--codec", "h264", "--fps", "10", "--gop", "10"});
    ASSERT_TRUE(server.Start()) << server.Log();
    NetworkDevice device(Camera(server.Url("rtsp")));
    ASSERT_EQ(StartDevice(device), 0);
    ExpectMovingPictures(device, kQvga, "rtsp h264");

    // A frame goes to one grab; a look for the live picture leaves it there.
    bool sampled = false;
    for (int attempt = 0; attempt < 20 && !sampled; ++attempt) {
        const uint64_t latest = device.FrameSequence();
        ASSERT_TRUE(waitFor([&] { return device.FrameSequence() > latest; }));
        const uint64_t before = device.FrameSequence();
        const auto shown = device.PreviewFrame();
        const auto grabbed = device.LatestFrame();
        const auto again = device.LatestFrame();
        if (device.FrameSequence() != before)
            continue; // a frame came in between: try again
        sampled = true;
        ASSERT_NE(shown, nullptr);
        ASSERT_NE(grabbed, nullptr);
        EXPECT_TRUE(SamePixels(*shown, *grabbed));
        EXPECT_EQ(again, nullptr);
    }
    EXPECT_TRUE(sampled);

    // Grabs more often than key frames: every frame is decoded.
    device.SetGrabIntervalMs(100);
    ASSERT_TRUE(waitFor([&] { return device.KeyFrameIntervalMs() > 0; }));
    EXPECT_NEAR(device.KeyFrameIntervalMs(), 1000, 50); // from the stream's time stamps
    EXPECT_TRUE(device.DecodesEveryFrame());
    uint64_t dropped = device.DroppedUndecoded();
    uint64_t decoded = device.DecodedPictures();
    ASSERT_TRUE(waitFor([&] { return device.DecodedPictures() >= decoded + 15; }));
    EXPECT_EQ(device.DroppedUndecoded(), dropped);

    // Grabs no more often than key frames: key frames only, the rest
    // dropped before decoding, and grabs still get pictures.
    device.SetGrabIntervalMs(1000);
    EXPECT_FALSE(device.DecodesEveryFrame());
    dropped = device.DroppedUndecoded();
    decoded = device.DecodedPictures();
    ASSERT_TRUE(waitFor([&] { return device.DroppedUndecoded() >= dropped + 27; }, 20s));
    // Three key frames, and what a threaded decoder still held at the switch.
    EXPECT_LE(device.DecodedPictures() - decoded, 8u);
    ExpectMovingPictures(device, kQvga, "rtsp h264, key frames only");

    // Started in a stored format the stream does not have: nothing is
    // delivered, and the stream's own size is reported.
    NetworkDevice stored(Camera(server.Url("rtsp")));
    ASSERT_EQ(StartDevice(stored, {640, 480, 24}), 0);
    CaptureFormat now;
    ASSERT_TRUE(waitFor([&] { return stored.FormatChanged(now); }, 20s));
    EXPECT_EQ(now, kQvga);
    EXPECT_EQ(stored.Formats(), std::vector<CaptureFormat>{kQvga});
    EXPECT_EQ(stored.LatestFrame(), nullptr);
    EXPECT_EQ(stored.PreviewFrame(), nullptr);
    EXPECT_FALSE(stored.Lost());
    EXPECT_TRUE(StopsPromptly(stored));
    EXPECT_TRUE(StopsPromptly(device));
}

TEST(NetworkStreamTest, NothingDrawnFromAPictureDamagedInTransitIsDecodedUntilTheNextKeyFrame)
{
    // Every 25th RTP packet lost: some pictures arrive incomplete.
    StreamServer server({"rtsp", "--codec", "h264", "--fps", "10", "--gop", "10", "--lose", "25"});
    ASSERT_TRUE(server.Start()) << server.Log();
    NetworkDevice device(Camera(server.Url("rtsp")));
    device.SetGrabIntervalMs(100);
    ASSERT_EQ(StartDevice(device), 0);
    ASSERT_TRUE(waitFor([&] { return device.KeyFrameIntervalMs() > 0 && device.DamagedPictures() > 0; }, 20s));
    EXPECT_TRUE(device.DecodesEveryFrame());
    // Every frame is decoded, except after damage: the pictures that refer
    // to the damaged one are dropped until the next key frame...
    const uint64_t damaged = device.DamagedPictures();
    const uint64_t dropped = device.DroppedUndecoded();
    ASSERT_TRUE(waitFor([&] { return device.DamagedPictures() > damaged; }, 20s));
    EXPECT_TRUE(waitFor([&] { return device.DroppedUndecoded() > dropped; }));
    // ...from which pictures come again.
    ExpectMovingPictures(device, kQvga, "rtsp h264 with losses");
    EXPECT_FALSE(device.Lost());
    EXPECT_TRUE(StopsPromptly(device));
}

TEST(NetworkStreamTest, EveryKindOfStreamDeliversItsPicturesAndReportsItsFormat)
{
    struct Case {
        std::vector<std::string> server;
        std::string scheme;
        int transport;
    };
    const Case cases[] = {
        {{"rtsp", "--codec", "h265"}, "rtsp", int(RtspTransport::Tcp)},
        {{"rtsp", "--codec", "mjpeg"}, "rtsp", int(RtspTransport::Udp)},
        {{"mjpeg"}, "http", 0},
        {{"snapshot"}, "http", 0},
    };
    for (const Case& c : cases) {
        const std::string what = c.server.back();
        StreamServer server(c.server);
        ASSERT_TRUE(server.Start()) << what << server.Log();
        const NetworkCamera camera = Camera(server.Url(c.scheme), c.transport);

        std::vector<CaptureFormat> formats;
        EXPECT_EQ(ProbeNetworkFormats(camera, formats), 0) << what;
        EXPECT_EQ(formats, std::vector<CaptureFormat>{kQvga}) << what;

        NetworkDevice device(camera);
        device.SetGrabIntervalMs(200);
        ASSERT_EQ(StartDevice(device), 0);
        ExpectMovingPictures(device, kQvga, what);
        EXPECT_FALSE(device.Lost()) << what;
        if (what == "snapshot") {
            EXPECT_GE(device.Connections(), 2u) << "a snapshot is fetched again for every picture";
        }
        EXPECT_TRUE(StopsPromptly(device)) << what;
    }
}

TEST(NetworkStreamTest, ACameraAwayIsLostAndComesBackByItselfWithNothingStale)
{
    StreamServer server({"rtsp", "--codec", "h264", "--fps", "10"});
    ASSERT_TRUE(server.Start()) << server.Log();
    const NetworkCamera camera = Camera(server.Url("rtsp"));
    server.Kill();

    // The capture starts while the camera is away, without waiting for it,
    // and records once it is there.
    {
        test::RecordingReporter reporter;
        std::vector<std::unique_ptr<ICaptureBackend>> backends;
        backends.push_back(std::make_unique<NetworkBackend>(std::vector<NetworkCamera>{camera}));
        CDXVideo video(reporter, std::make_unique<CompositeBackend>(std::move(backends)));
        ASSERT_EQ(video.StartCapture(0, nullptr, "320x240 24 bit"), 0);
        ASSERT_TRUE(waitFor([&] { return video.DeviceLost(); }, 20s));
        EXPECT_EQ(video.GrabFrame(), nullptr);
        ASSERT_TRUE(server.Start()) << server.Log();
        std::unique_ptr<Frame> frame;
        ASSERT_TRUE(waitFor([&] { return (frame = video.GrabFrame()) != nullptr; }, 30s));
        EXPECT_EQ(frame->width(), 320);
        EXPECT_FALSE(video.DeviceLost());
        EXPECT_TRUE(reporter.messages().empty());
        video.StopCapture();
    }

    NetworkDevice device(camera);
    ASSERT_EQ(StartDevice(device), 0);
    ASSERT_NE(WaitForFrame(device), nullptr);
    // A frame no grab has had yet when the camera goes away...
    const uint64_t grabbed = device.FrameSequence();
    ASSERT_TRUE(waitFor([&] { return device.FrameSequence() > grabbed; }));
    server.Kill();
    ASSERT_TRUE(waitFor([&] { return device.Lost(); }, 20s));
    // ...is never delivered after the loss.
    EXPECT_EQ(device.LatestFrame(), nullptr);
    EXPECT_EQ(device.PreviewFrame(), nullptr);

    // Away for two more tries, then back: the device finds it by itself.
    const uint64_t tries = device.Connections();
    ASSERT_TRUE(waitFor([&] { return device.Connections() >= tries + 2; }, 20s));
    EXPECT_TRUE(device.Lost());
    EXPECT_EQ(device.LatestFrame(), nullptr);
    ASSERT_TRUE(server.Start()) << server.Log();
    ASSERT_NE(WaitForFrame(device, 30s), nullptr);
    EXPECT_FALSE(device.Lost());
    EXPECT_TRUE(StopsPromptly(device));
}

TEST(NetworkStreamTest, MisbehavingServersLoseTheCameraWithoutAPictureAndStopPromptly)
{
    StreamServer garbage({"garbage"});
    StreamServer stall({"stall"});
    StreamServer truncated({"truncated"});
    for (StreamServer* server : {&garbage, &stall, &truncated})
        ASSERT_TRUE(server->Start()) << server->Log();

    NetworkTimeouts quick;
    quick.noPicture = 2s;
    struct Case {
        std::string what;
        NetworkCamera camera;
    };
    const Case cases[] = {
        {"rtsp garbage", Camera(garbage.Url("rtsp"))},
        {"http garbage", Camera(garbage.Url("http"))},
        {"rtsp stall", Camera(stall.Url("rtsp"))},
        {"http stall after the headers", Camera(stall.Url("http"))},
        {"http pictures cut short", Camera(truncated.Url("http"))},
    };
    std::vector<std::unique_ptr<NetworkDevice>> devices;
    for (const Case& c : cases) {
        devices.push_back(std::make_unique<NetworkDevice>(c.camera, quick));
        ASSERT_EQ(StartDevice(*devices.back()), 0) << c.what;
    }
    // Waits far longer than the test: only the stop can end them.
    NetworkTimeouts endless;
    endless.open = endless.read = 60s;
    NetworkDevice stalledForever(Camera(stall.Url("http")), endless);
    ASSERT_EQ(StartDevice(stalledForever), 0);

    int delivered = 0;
    const bool allLost = waitFor(
        [&] {
            bool lost = true;
            for (auto& device : devices) {
                delivered += device->LatestFrame() != nullptr;
                lost = lost && device->Lost();
            }
            return lost;
        },
        30s);
    for (size_t i = 0; i < devices.size(); ++i)
        EXPECT_TRUE(devices[i]->Lost()) << cases[i].what;
    EXPECT_TRUE(allLost);
    EXPECT_EQ(delivered, 0);
    for (size_t i = 0; i < devices.size(); ++i)
        EXPECT_TRUE(StopsPromptly(*devices[i])) << cases[i].what;
    EXPECT_EQ(stalledForever.Connections(), 1u);
    EXPECT_TRUE(StopsPromptly(stalledForever));
}

TEST(NetworkStreamTest, AResolutionChangeStopsDeliveryAndReportsTheNewFormat)
{
    // 320x240 for the first 30 pictures of a connection, then 160x120.
    StreamServer server({"resize", "--frames", "30"});
    ASSERT_TRUE(server.Start()) << server.Log();
    NetworkDevice device(Camera(server.Url("http")));
    ASSERT_EQ(StartDevice(device), 0);
    const auto before = WaitForFrame(device);
    ASSERT_NE(before, nullptr);
    EXPECT_EQ(before->width(), 320);

    CaptureFormat now;
    int delivered = 0;
    ASSERT_TRUE(waitFor([&] {
        if (auto frame = device.LatestFrame()) {
            ++delivered;
            EXPECT_EQ(frame->width(), 320);
            EXPECT_EQ(frame->height(), 240);
        }
        return device.FormatChanged(now);
    }, 20s));
    EXPECT_EQ(now, (CaptureFormat{160, 120, 24}));
    EXPECT_EQ(device.LatestFrame(), nullptr);
    EXPECT_EQ(device.PreviewFrame(), nullptr);
    EXPECT_EQ(device.Formats(), std::vector<CaptureFormat>{now});
    EXPECT_FALSE(device.Lost());
    // Still streaming, still delivering nothing of the wrong size.
    const uint64_t sequence = device.FrameSequence();
    const uint64_t connections = device.Connections();
    EXPECT_TRUE(StopsPromptly(device));
    EXPECT_EQ(device.FrameSequence(), sequence);
    EXPECT_EQ(device.Connections(), connections);
}

// Standard error of this process, from construction until Text().
class StderrCapture {
public:
    StderrCapture()
    {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        char path[] = "/tmp/vistrel-stderr-XXXXXX";
        const int fd = ::mkstemp(path);
        path_ = path;
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~StderrCapture()
    {
        Restore();
        ::unlink(path_.c_str());
    }
    std::string Text()
    {
        Restore();
        std::ifstream in(path_);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    void Restore()
    {
        if (saved_ < 0)
            return;
        std::fflush(stderr);
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        saved_ = -1;
    }
    int saved_ = -1;
    std::string path_;
};

TEST(NetworkStreamTest, CredentialsNeverReachStandardErrorEvenWithTheCaptureLogOn)
{
    const std::string user = "viewer";
    const std::string password = "Pa55@w:rd/%x";
    const std::string wrong = "Wr0ngPa55w0rd";
    StreamServer rtsp({"rtsp", "--codec", "h264", "--user", user, "--password", password});
    StreamServer http({"mjpeg", "--user", user, "--password", password});
    ASSERT_TRUE(rtsp.Start()) << rtsp.Log();
    ASSERT_TRUE(http.Start()) << http.Log();

    std::string output;
    {
        StderrCapture capture;
        QLoggingCategory::setFilterRules(QStringLiteral("vistrel.capture.debug=true"));
        auto withPassword = [&](const std::string& url, const std::string& secret) {
            NetworkCamera camera = Camera(url);
            camera.user = user;
            camera.password = secret;
            return camera;
        };
        // The right password, with characters that mean something in a URL, lets pictures in.
        for (const NetworkCamera& camera : {withPassword(rtsp.Url("rtsp"), password), withPassword(http.Url("http"), password)}) {
            NetworkDevice device(camera);
            ASSERT_EQ(StartDevice(device), 0);
            EXPECT_NE(WaitForFrame(device), nullptr) << MaskedUrl(camera);
            device.Stop();
        }
        // A wrong one, in the fields or in the URL, loses the camera.
        const NetworkCamera refused[] = {
            withPassword(rtsp.Url("rtsp"), wrong),
            withPassword(http.Url("http"), wrong),
            Camera("rtsp://" + user + ":" + wrong + "@127.0.0.1:" + std::to_string(rtsp.port()) + "/cam"),
        };
        for (const NetworkCamera& camera : refused) {
            NetworkDevice device(camera);
            ASSERT_EQ(StartDevice(device), 0);
            EXPECT_TRUE(waitFor([&] { return device.Lost(); }, 20s)) << MaskedUrl(camera);
            EXPECT_EQ(device.LatestFrame(), nullptr);
            device.Stop();
            std::vector<CaptureFormat> formats;
            EXPECT_LT(ProbeNetworkFormats(camera, formats), 0) << MaskedUrl(camera);
        }
        QLoggingCategory::setFilterRules(QStringLiteral("vistrel.capture.debug=false"));
        output = capture.Text();
    }
    // The log was on: libav's complaints and our own lines are there...
    EXPECT_NE(output.find("libav:"), std::string::npos) << output;
    EXPECT_NE(output.find("rtsp://***@127.0.0.1"), std::string::npos) << output;
    // ...but no password in any spelling, nor a basic authorisation.
    const QByteArray basic = QByteArray::fromStdString(user + ":" + password).toBase64();
    for (const std::string& secret : {password, wrong, std::string("Pa55%40w%3Ard%2F%25x"), basic.toStdString()})
        EXPECT_EQ(output.find(secret), std::string::npos) << secret << " in:\n" << output;
}

} // namespace
} // namespace vistrel
