// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/v4l2_backend.h"

#include "capture/capture_log.h"
#include "capture/frame_convert.h"

#include <libv4l2.h>
#include <libv4lconvert.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

namespace vistrel {

namespace {

constexpr unsigned kBufferCount = 4;
// How long the capture thread waits for a frame before it asks whether the
// device is still there.
constexpr int kFrameTimeoutMs = 5000;
// How long a route may take: streaming stops, the input switches and
// streaming starts again.
constexpr auto kRouteTimeout = std::chrono::seconds(5);
// Frames dropped after every switch before one is delivered, so that an
// analog decoder has locked onto the new input (vivid needs none).
constexpr int kSettleFrames = 1;

int RetryIoctl(int fd, unsigned long request, void* arg)
{
    int rc;
    do {
        rc = v4l2_ioctl(fd, request, arg);
    } while (rc < 0 && errno == EINTR);
    return rc < 0 ? -errno : 0;
}

// Opens a node through libv4l2 with its format emulation off: the device is
// streamed in its own format and converted here. -errno on failure.
int OpenNode(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    if (v4l2_fd_open(fd, V4L2_DISABLE_CONVERSION) < 0) {
        const int error = errno;
        ::close(fd);
        return -error;
    }
    return fd;
}

Ioctl NodeIoctl(int fd)
{
    return [fd](unsigned long request, void* arg) { return RetryIoctl(fd, request, arg); };
}

std::string FixedText(const uint8_t* text, size_t size)
{
    const char* chars = reinterpret_cast<const char*>(text);
    return std::string(chars, strnlen(chars, size));
}

int64_t MonotonicNowUs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// The first line of a sysfs attribute; empty when unreadable.
std::string SysfsLine(const std::filesystem::path& file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// A link under /dev/v4l/by-id, else by-path, that resolves to `node`.
std::string StableLink(const std::string& directory, const std::string& node)
{
    std::error_code error;
    const auto target = std::filesystem::canonical(node, error);
    if (error)
        return {};
    for (const char* kind : {"by-id", "by-path"}) {
        const std::filesystem::path folder = std::filesystem::path(directory) / "v4l" / kind;
        std::vector<std::string> links;
        for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
            std::error_code linkError;
            if (std::filesystem::canonical(entry.path(), linkError) == target && !linkError)
                links.push_back(entry.path().string());
        }
        if (!links.empty()) {
            std::sort(links.begin(), links.end());
            return links.front();
        }
    }
    return {};
}

// Sizes can differ from input to input (a webcam input has its own, a TV
// input those of its standard), and a driver keeps the input it was left
// on: formats are listed for input 0, which every start routes first.
// Returns the input the device was on.
int SelectFirstInput(const Ioctl& ioctl)
{
    int input = 0;
    if (ioctl(VIDIOC_G_INPUT, &input) < 0 || input == 0)
        return 0;
    int first = 0;
    if (const int rc = ioctl(VIDIOC_S_INPUT, &first); rc < 0)
        qCDebug(lcCapture) << "formats listed for input" << input << "; input 0 refused:" << strerror(-rc);
    return input;
}

} // namespace

V4l2Backend::V4l2Backend(std::string directory)
    : directory_(std::move(directory))
{
}

std::vector<std::string> V4l2Backend::VideoNodes() const
{
    std::vector<std::pair<unsigned, std::string>> numbered;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory_, error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() <= 5 || name.compare(0, 5, "video") != 0)
            continue;
        unsigned number = 0;
        const char* first = name.data() + 5;
        const char* last = name.data() + name.size();
        const auto [end, ec] = std::from_chars(first, last, number);
        if (ec == std::errc() && end == last)
            numbered.emplace_back(number, entry.path().string());
    }
    std::sort(numbered.begin(), numbered.end());
    std::vector<std::string> paths;
    for (auto& [number, path] : numbered)
        paths.push_back(std::move(path));
    return paths;
}

std::vector<V4l2Backend::Node> V4l2Backend::CaptureNodes() const
{
    std::vector<Node> nodes;
    for (const std::string& path : VideoNodes()) {
        const int fd = OpenNode(path);
        if (fd < 0) {
            qCDebug(lcCapture) << "cannot open" << path.c_str() << strerror(-fd);
            // A node we may not open is listed with the reason, so that the
            // numbers of the devices after it do not shift. Only the first
            // node of a device counts (sysfs index 0; metadata nodes come
            // later), and a node whose device has gone is not listed.
            if (fd != -EACCES && fd != -EPERM && fd != -EBUSY)
                continue;
            const std::filesystem::path sysfs
                = std::filesystem::path("/sys/class/video4linux") / std::filesystem::path(path).filename();
            const std::string index = SysfsLine(sysfs / "index");
            if (!index.empty() && index != "0")
                continue;
            std::string card = SysfsLine(sysfs / "name");
            if (card.empty())
                card = std::filesystem::path(path).filename().string();
            Node node;
            node.path = path;
            node.openable = false;
            node.entry.name = card + " (" + path + ": "
                + (fd == -EBUSY ? "in use by another program" : "no permission to open; is the user in the video group?")
                + ")";
            node.entry.path = path;
            node.entry.openable = false;
            node.entry.link = StableLink(directory_, path);
            nodes.push_back(std::move(node));
            continue;
        }
        v4l2_capability capability{};
        if (RetryIoctl(fd, VIDIOC_QUERYCAP, &capability) == 0 && IsCaptureDevice(capability)) {
            Node node;
            node.path = path;
            node.entry.name = FixedText(capability.card, sizeof capability.card);
            node.entry.nameReadable = !node.entry.name.empty();
            node.entry.busInfo = FixedText(capability.bus_info, sizeof capability.bus_info);
            node.entry.path = path;
            node.entry.link = StableLink(directory_, path);
            nodes.push_back(std::move(node));
        }
        v4l2_close(fd);
    }
    return nodes;
}

bool V4l2Backend::EnumerateDevices(std::vector<DeviceEntry>& devices)
{
    devices.clear();
    for (Node& node : CaptureNodes())
        devices.push_back(std::move(node.entry));
    return !devices.empty();
}

bool V4l2Backend::DeviceFormats(int number, std::vector<CaptureFormat>& formats)
{
    const auto nodes = CaptureNodes();
    if (number < 0 || number >= int(nodes.size()))
        return false;
    const int fd = OpenNode(nodes[size_t(number)].path);
    if (fd < 0)
        return false;
    formats.clear();
    const Ioctl ioctl = NodeIoctl(fd);
    int input = SelectFirstInput(ioctl);
    for (const V4l2Mode& mode : EnumerateModes(ioctl))
        formats.push_back(mode.format);
    if (input != 0)
        RetryIoctl(fd, VIDIOC_S_INPUT, &input); // leave it as it was found
    v4l2_close(fd);
    return true;
}

int V4l2Backend::OpenDevice(int number, std::unique_ptr<ICaptureDevice>& device)
{
    const auto nodes = CaptureNodes();
    if (number < 0 || number >= int(nodes.size()))
        return -ENODEV;
    return V4l2Device::Open(nodes[size_t(number)].path, device);
}

V4l2Device::V4l2Device(int fd, DeviceIoctl ioctl)
    : fd_(fd)
    , ioctl_(std::move(ioctl))
{
}

V4l2Device::~V4l2Device()
{
    Stop();
    std::lock_guard lock(convertMutex_);
    if (convert_)
        v4lconvert_destroy(convert_);
}

int V4l2Device::Open(const std::string& path, std::unique_ptr<ICaptureDevice>& device)
{
    const int fd = OpenNode(path);
    if (fd < 0)
        return fd;
    return Adopt(fd, &RetryIoctl, device);
}

int V4l2Device::Adopt(int fd, DeviceIoctl driver, std::unique_ptr<ICaptureDevice>& device)
{
    std::unique_ptr<V4l2Device> opened(new V4l2Device(fd, std::move(driver)));
    v4l2_capability capability{};
    if (const int rc = opened->Xioctl(VIDIOC_QUERYCAP, &capability); rc < 0)
        return rc;
    if (!IsCaptureDevice(capability))
        return -ENODEV;
    opened->wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (opened->wakeFd_ < 0)
        return -errno;
    V4l2Device& node = *opened;
    const Ioctl ioctl = [&node](unsigned long request, void* arg) { return node.Xioctl(request, arg); };
    SelectFirstInput(ioctl);
    opened->modes_ = EnumerateModes(ioctl);
    opened->hasInputs_ = EnumerateInputTypes(ioctl, IsUsbBus(capability), opened->inputTypes_, &opened->analogInputs_);
    opened->hasStandards_ = std::find(opened->analogInputs_.begin(), opened->analogInputs_.end(), true)
        != opened->analogInputs_.end();
    int input = 0;
    if (opened->hasInputs_ && opened->Xioctl(VIDIOC_G_INPUT, &input) == 0 && input >= 0)
        opened->currentInput_ = input;
    device = std::move(opened);
    return 0;
}

int V4l2Device::Xioctl(unsigned long request, void* arg) const
{
    return ioctl_(fd_, request, arg);
}

std::vector<CaptureFormat> V4l2Device::Formats()
{
    std::vector<CaptureFormat> formats;
    for (const V4l2Mode& mode : modes_)
        formats.push_back(mode.format);
    return formats;
}

int V4l2Device::SetFormat(const CaptureFormat& format)
{
    const V4l2Mode* mode = FindMode(modes_, format);
    if (!mode)
        return kNoMatchingFormat;
    return SetMode(*mode);
}

int V4l2Device::SetMode(const V4l2Mode& mode)
{
    // A driver that would adjust the size cannot deliver this format: that
    // is the format's failure, not a busy device.
    v4l2_format format = FormatRequest(mode);
    if (const int rc = Xioctl(VIDIOC_TRY_FMT, &format); rc < 0 && rc != -ENOTTY)
        return rc;
    if (!KeepsMode(format, mode))
        return kNoMatchingFormat;
    mode_ = mode;
    return 0;
}

int V4l2Device::SetDeliveredBitCount(int bitCount)
{
    if (bitCount == 0 || bitCount != DeliveredBitCount(mode_.format.bitCount))
        return kEFail;
    if (BitCountForPixelFormat(mode_.pixelFormat) == 0) {
        std::lock_guard lock(convertMutex_);
        if (!convert_)
            convert_ = v4lconvert_create(fd_);
        if (!convert_)
            return kEFail;
    }
    deliveredBitCount_ = bitCount;
    return 0;
}

int V4l2Device::ApplyFormat()
{
    v4l2_format format = FormatRequest(mode_);
    // EBUSY here: another program streams the device.
    if (const int rc = Xioctl(VIDIOC_S_FMT, &format); rc < 0)
        return rc;
    if (!KeepsMode(format, mode_))
        return -EINVAL;
    pix_ = format.fmt.pix;

    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (Xioctl(VIDIOC_G_PARM, &parm) == 0)
        intervalMs_ = vistrel::FrameIntervalMs(parm, intervalMs_);
    return 0;
}

int V4l2Device::ApplyStandard()
{
    if (currentInput_ < 0 || size_t(currentInput_) >= analogInputs_.size() || !analogInputs_[size_t(currentInput_)])
        return 0;
    v4l2_std_id id = StandardId(VideoStandard(standard_.load()));
    if (id == 0) {
        // Auto: what the decoder sees, where the driver can tell.
        v4l2_std_id detected = 0;
        if (Xioctl(VIDIOC_QUERYSTD, &detected) < 0 || detected == 0)
            return 0;
        id = detected;
    }
    const int rc = Xioctl(VIDIOC_S_STD, &id);
    if (rc < 0)
        qCDebug(lcCapture) << "standard" << Qt::hex << id << "refused:" << strerror(-rc);
    return rc;
}

int V4l2Device::AllocateBuffers()
{
    v4l2_requestbuffers request{};
    request.count = kBufferCount;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (const int rc = Xioctl(VIDIOC_REQBUFS, &request); rc < 0)
        return rc;
    if (request.count < 2)
        return -ENOMEM;
    for (unsigned index = 0; index < request.count; ++index) {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = index;
        if (const int rc = Xioctl(VIDIOC_QUERYBUF, &buffer); rc < 0)
            return rc;
        void* start = v4l2_mmap(nullptr, buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, buffer.m.offset);
        if (start == MAP_FAILED)
            return -errno;
        buffers_.push_back({start, buffer.length});
        if (const int rc = Xioctl(VIDIOC_QBUF, &buffer); rc < 0)
            return rc;
    }
    return 0;
}

int V4l2Device::PrepareStreaming()
{
    ApplyStandard(); // a refused standard leaves the driver's own
    if (const int rc = ApplyFormat(); rc < 0)
        return rc;
    return AllocateBuffers();
}

int V4l2Device::StreamOn()
{
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (const int rc = Xioctl(VIDIOC_STREAMON, &type); rc < 0)
        return rc;
    streaming_ = true;
    return 0;
}

void V4l2Device::StreamOff()
{
    if (!streaming_)
        return;
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    Xioctl(VIDIOC_STREAMOFF, &type);
    streaming_ = false;
}

int V4l2Device::Start()
{
    if (const int rc = StreamOn(); rc < 0)
        return rc;
    {
        std::lock_guard lock(requestMutex_);
        threadEnded_ = false;
        stopRequested_ = false;
    }
    thread_ = std::thread([this] { Run(); });
    return 0;
}

void V4l2Device::Stop()
{
    {
        std::lock_guard lock(requestMutex_);
        stopRequested_ = true;
    }
    if (thread_.joinable()) {
        const uint64_t one = 1;
        if (::write(wakeFd_, &one, sizeof one) < 0)
            qCDebug(lcCapture) << "cannot wake the capture thread" << strerror(errno);
        thread_.join();
    }
    std::lock_guard lock(fdMutex_);
    if (fd_ >= 0) {
        StreamOff();
        ReleaseBuffers();
        v4l2_close(fd_);
        fd_ = -1;
    }
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
        wakeFd_ = -1;
    }
}

void V4l2Device::ReleaseBuffers()
{
    for (const Buffer& buffer : buffers_)
        v4l2_munmap(buffer.start, buffer.length);
    if (!buffers_.empty()) {
        v4l2_requestbuffers request{};
        request.count = 0;
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        Xioctl(VIDIOC_REQBUFS, &request);
    }
    buffers_.clear();
}

bool V4l2Device::Crossbar(CrossbarInfo& info)
{
    if (!hasInputs_)
        return false;
    info.inputTypes = inputTypes_;
    info.outputTypes = {connector::kVideoDecoder};
    return true;
}

int V4l2Device::Route(int outputPin, int inputPin)
{
    // Output 0 is the decoder; routes to anything else are refused.
    if (outputPin != 0 || inputPin < 0 || inputPin >= int(inputTypes_.size()))
        return -EINVAL;
    {
        std::lock_guard lock(requestMutex_);
        if (!threadEnded_)
            return RequestSwitch(inputPin);
    }
    if (lost_)
        return -ENODEV;
    // Not streaming (yet): the input is switched directly.
    std::lock_guard fdLock(fdMutex_);
    if (fd_ < 0)
        return -ENODEV;
    int index = inputPin;
    const int rc = Xioctl(VIDIOC_S_INPUT, &index);
    if (rc == 0)
        currentInput_ = inputPin;
    return rc;
}

int V4l2Device::SetStandard(VideoStandard standard)
{
    if (standard_.exchange(int(standard)) == int(standard))
        return 0;
    std::lock_guard lock(requestMutex_);
    if (threadEnded_)
        return 0; // applied when streaming starts
    return RequestSwitch(kSameInputAgain);
}

// Hands a switch to the capture thread and waits for its answer, at most
// kRouteTimeout in all; called with `requestMutex_` held, which the waits
// release. A request still queued when the time is up is withdrawn; one the
// driver is still carrying out has its result dropped when it comes.
int V4l2Device::RequestSwitch(int input)
{
    std::unique_lock lock(requestMutex_, std::adopt_lock);
    const auto deadline = std::chrono::steady_clock::now() + kRouteTimeout;
    // One request waits at a time, so a standard change never stands in for
    // a route the image thread asked for.
    requestDone_.wait_until(lock, deadline, [&] { return !requestedInput_ || threadEnded_ || switchOverdue_; });
    int result = -ETIMEDOUT;
    if (threadEnded_) {
        result = -ENODEV;
    } else if (!requestedInput_ && !switchOverdue_) {
        const uint64_t serial = ++requestSerial_;
        requestedInput_ = input;
        auto& answer = awaited_[serial];
        const auto queued = [&] { return requestedInput_ && requestSerial_ == serial; };
        const uint64_t one = 1;
        if (::write(wakeFd_, &one, sizeof one) < 0) {
            result = -errno;
            requestedInput_.reset();
        } else {
            // Answered after one switch, unless the driver hangs in it.
            requestDone_.wait_until(
                lock, deadline, [&] { return answer || threadEnded_ || (switchOverdue_ && queued()); });
            if (answer)
                result = *answer;
            else if (threadEnded_)
                result = -ENODEV;
            else if (queued())
                requestedInput_.reset(); // never reached the driver: withdrawn
            else
                switchOverdue_ = true;   // in the driver still
        }
        awaited_.erase(serial);
        requestDone_.notify_all(); // the next request may go
    }
    lock.release(); // the caller's guard unlocks
    return result;
}

// On the capture thread. Switching an input while buffers are allocated is
// refused by many drivers (EBUSY); then streaming stops, the buffers go,
// the input switches, the standard and the format are set again (a TV input
// may have put its own standard size in place), and streaming starts again.
int V4l2Device::SwitchInput(int input)
{
    const int previous = currentInput_;
    const bool again = input == kSameInputAgain;
    if (again)
        input = currentInput_;
    else if (input == currentInput_)
        return 0;
    int index = input;
    int rc = again ? 0 : Xioctl(VIDIOC_S_INPUT, &index);
    if (rc == 0 && !again) {
        // Switched while streaming: fine as long as the format stayed.
        v4l2_format format{};
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        currentInput_ = input;
        if (Xioctl(VIDIOC_G_FMT, &format) == 0 && format.fmt.pix.pixelformat == pix_.pixelformat
            && format.fmt.pix.width == pix_.width && format.fmt.pix.height == pix_.height) {
            ApplyStandard();
            RestartDelivery(false);
            return 0;
        }
    } else if (rc != 0 && rc != -EBUSY) {
        qCDebug(lcCapture) << "input" << input << "refused:" << strerror(-rc);
        return rc;
    }

    StreamOff();
    ReleaseBuffers();
    if (rc == -EBUSY) {
        index = input;
        rc = Xioctl(VIDIOC_S_INPUT, &index);
    }
    if (rc == 0) {
        currentInput_ = input;
        ApplyStandard();
        rc = ApplyFormat();
        if (rc < 0 && previous != input) {
            // The new input cannot deliver this format: back to the old one.
            index = previous;
            if (Xioctl(VIDIOC_S_INPUT, &index) == 0)
                currentInput_ = previous;
            ApplyStandard();
            ApplyFormat();
        }
    }
    if (rc < 0)
        qCDebug(lcCapture) << "input" << input << "refused after stopping the stream:" << strerror(-rc);
    int restart = AllocateBuffers();
    if (restart == 0)
        restart = StreamOn();
    if (restart < 0) {
        qCDebug(lcCapture) << "streaming does not start again after a switch:" << strerror(-restart);
        return restart;
    }
    RestartDelivery(true);
    return rc;
}

void V4l2Device::RestartDelivery(bool buffersFresh)
{
    {
        std::lock_guard lock(latestMutex_);
        latest_.reset();
    }
    switchedAtUs_ = buffersFresh ? 0 : MonotonicNowUs();
    dropFrames_ = kSettleFrames;
}

// On the capture thread: whether a dequeued good buffer was captured after
// the last switch and the decoder has settled.
bool V4l2Device::Deliverable(const v4l2_buffer& buffer)
{
    if (switchedAtUs_ != 0) {
        const bool monotonic
            = (buffer.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
        if (monotonic) {
            const int64_t stampUs = int64_t(buffer.timestamp.tv_sec) * 1000000 + buffer.timestamp.tv_usec;
            if (stampUs < switchedAtUs_)
                return false;
        } else {
            // No usable time: whatever sat in the queue at the switch goes.
            dropFrames_ += int(buffers_.size());
        }
        switchedAtUs_ = 0;
    }
    if (dropFrames_ > 0) {
        --dropFrames_;
        return false;
    }
    return true;
}

std::unique_ptr<Frame> V4l2Device::LatestFrame()
{
    std::shared_ptr<const RawFrame> raw;
    {
        std::lock_guard lock(latestMutex_);
        raw = latest_;
    }
    if (!raw || lost_)
        return nullptr;
    auto frame = Frame::Create(mode_.format.width, mode_.format.height, deliveredBitCount_);
    if (BitCountForPixelFormat(raw->pix.pixelformat) == 0) {
        // libv4lconvert gives top-down BGR; delivered frames are bottom-up.
        v4l2_format source{};
        source.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        source.fmt.pix = raw->pix;
        v4l2_format target = source;
        target.fmt.pix.pixelformat = V4L2_PIX_FMT_BGR24;
        target.fmt.pix.bytesperline = raw->pix.width * 3;
        target.fmt.pix.sizeimage = target.fmt.pix.bytesperline * raw->pix.height;
        std::vector<uint8_t> bgr(target.fmt.pix.sizeimage);
        int converted = -1;
        {
            std::lock_guard lock(convertMutex_);
            if (convert_)
                converted = v4lconvert_convert(convert_, &source, &target, const_cast<uint8_t*>(raw->bytes.data()),
                                               int(raw->used), bgr.data(), int(bgr.size()));
        }
        const size_t rowBytes = size_t(mode_.format.width) * 3;
        if (converted < int(rowBytes * size_t(mode_.format.height)) || deliveredBitCount_ != 24
            || int(raw->pix.width) != mode_.format.width || int(raw->pix.height) != mode_.format.height)
            return nullptr;
        for (int y = 0; y < mode_.format.height; ++y)
            std::memcpy(frame->data() + size_t(mode_.format.height - 1 - y) * rowBytes, bgr.data() + size_t(y) * rowBytes,
                        rowBytes);
        return frame;
    }
    RawFrameView view;
    view.pixelFormat = raw->pix.pixelformat;
    view.width = int(raw->pix.width);
    view.height = int(raw->pix.height);
    view.bytesPerLine = raw->pix.bytesperline;
    view.data = raw->bytes.data();
    view.size = raw->used;
    if (!ConvertRawFrame(view, *frame))
        return nullptr;
    return frame;
}

BITMAPINFOHEADER V4l2Device::DeliveredHeader() const
{
    BITMAPINFOHEADER header;
    header.biWidth = mode_.format.width;
    header.biHeight = mode_.format.height;
    header.biBitCount = uint16_t(deliveredBitCount_);
    header.biSizeImage = uint32_t(mode_.format.width * mode_.format.height * (deliveredBitCount_ / 8));
    return header;
}

void V4l2Device::Publish(const Buffer& buffer, size_t used)
{
    used = std::min(used, buffer.length);
    // The spare is no longer the latest, so once this thread holds its only
    // reference no grab can be reading it.
    std::shared_ptr<RawFrame> frame;
    if (spare_ && spare_.use_count() == 1) {
        // use_count() is a relaxed read: order the last grab's reads before our writes.
        std::atomic_thread_fence(std::memory_order_acquire);
        frame = std::move(spare_);
    } else
        frame = std::make_shared<RawFrame>();
    if (frame->bytes.size() < used)
        frame->bytes.resize(used);
    std::memcpy(frame->bytes.data(), buffer.start, used);
    frame->used = used;
    frame->pix = pix_;
    std::shared_ptr<const RawFrame> previous;
    {
        std::lock_guard lock(latestMutex_);
        previous = std::exchange(latest_, frame);
    }
    spare_ = std::const_pointer_cast<RawFrame>(previous);
    ++sequence_;
}

// A lost device gives its node back at once: a driver that re-creates an
// unplugged device only once every opener has closed it (vivid, and USB
// devices plugged in again) could not come back otherwise.
void V4l2Device::CloseLost()
{
    std::lock_guard lock(fdMutex_);
    if (fd_ < 0)
        return;
    StreamOff();
    ReleaseBuffers();
    v4l2_close(fd_);
    fd_ = -1;
}

// The capture thread: waits for a filled buffer, keeps a copy of it as the
// latest frame and hands the buffer back at once; between two frames it
// carries out route requests. A failing device (gone, I/O error) ends the
// loop and is marked lost.
void V4l2Device::Run()
{
    bool failed = false;
    while (!failed) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        const int ready = ::poll(fds, 2, kFrameTimeoutMs);
        if (ready > 0 && (fds[1].revents & POLLIN)) {
            uint64_t count = 0;
            if (::read(wakeFd_, &count, sizeof count) < 0 && errno != EAGAIN)
                qCDebug(lcCapture) << "cannot read the wake-up counter" << strerror(errno);
            std::unique_lock lock(requestMutex_);
            if (stopRequested_)
                break;
            if (requestedInput_) {
                const int input = *std::exchange(requestedInput_, std::nullopt);
                const uint64_t serial = requestSerial_;
                lock.unlock();
                const int result = SwitchInput(input);
                lock.lock();
                if (const auto it = awaited_.find(serial); it != awaited_.end())
                    it->second = result;
                switchOverdue_ = false;
                lock.unlock();
                requestDone_.notify_all();
                failed = !streaming_;
            }
            continue;
        }
        const StreamStep afterWait = StepAfterWait(ready < 0 ? -errno : ready);
        if (afterWait == StreamStep::Retry)
            continue;
        if (afterWait == StreamStep::Check) {
            // No frame for a while: an input without a signal, or a device
            // that went away without saying so.
            int input = 0;
            const int rc = Xioctl(VIDIOC_G_INPUT, &input);
            if (rc == -ENODEV || rc == -EIO) {
                qCDebug(lcCapture) << "silent device is gone:" << strerror(-rc);
                failed = true;
            }
            continue;
        }
        if (afterWait == StreamStep::Fail) {
            qCDebug(lcCapture) << "the wait for a frame failed";
            failed = true;
            continue;
        }
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        const int rc = Xioctl(VIDIOC_DQBUF, &buffer);
        const StreamStep step = StepAfterDequeue(fds[0].revents, rc, buffer);
        if (step == StreamStep::Retry)
            continue;
        if (step == StreamStep::Fail) {
            qCDebug(lcCapture) << "dequeue failed:" << strerror(-rc);
            failed = true;
            continue;
        }
        if (step == StreamStep::Skip)
            ++skipped_;
        else if (buffer.index < buffers_.size() && Deliverable(buffer))
            Publish(buffers_[buffer.index], buffer.bytesused);
        // A buffer the driver refuses once is tried again before giving up.
        int requeue = Xioctl(VIDIOC_QBUF, &buffer);
        if (requeue < 0 && requeue != -ENODEV)
            requeue = Xioctl(VIDIOC_QBUF, &buffer);
        if (requeue < 0) {
            qCDebug(lcCapture) << "requeue failed:" << strerror(-requeue);
            failed = true;
        }
    }
    if (failed) {
        lost_ = true;
        {
            std::lock_guard lock(latestMutex_);
            latest_.reset();
        }
        CloseLost();
    }
    {
        std::lock_guard lock(requestMutex_);
        threadEnded_ = true;
    }
    requestDone_.notify_all();
}

} // namespace vistrel
