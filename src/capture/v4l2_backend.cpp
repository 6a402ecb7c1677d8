#include "capture/v4l2_backend.h"

#include "capture/capture_log.h"
#include "capture/frame_convert.h"

#include <libv4l2.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>

namespace vistrel {

namespace {

constexpr unsigned kBufferCount = 4;
// A device that sends nothing for this long counts as failed.
constexpr int kFrameTimeoutMs = 5000;

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
        // A node that cannot be opened cannot be told apart from a metadata
        // or output node, so it is not counted.
        const int fd = OpenNode(path);
        if (fd < 0) {
            qCDebug(lcCapture) << "cannot open" << path.c_str() << strerror(-fd);
            continue;
        }
        v4l2_capability capability{};
        if (RetryIoctl(fd, VIDIOC_QUERYCAP, &capability) == 0 && IsCaptureDevice(capability)) {
            const char* card = reinterpret_cast<const char*>(capability.card);
            std::string name(card, strnlen(card, sizeof capability.card));
            const bool readable = !name.empty();
            nodes.push_back({path, {std::move(name), readable}});
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
    for (const V4l2Mode& mode : EnumerateModes(NodeIoctl(fd)))
        formats.push_back(mode.format);
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

V4l2Device::V4l2Device(int fd)
    : fd_(fd)
{
}

V4l2Device::~V4l2Device()
{
    Stop();
}

int V4l2Device::Open(const std::string& path, std::unique_ptr<ICaptureDevice>& device)
{
    const int fd = OpenNode(path);
    if (fd < 0)
        return fd;
    std::unique_ptr<V4l2Device> opened(new V4l2Device(fd));
    v4l2_capability capability{};
    if (const int rc = opened->Xioctl(VIDIOC_QUERYCAP, &capability); rc < 0)
        return rc;
    if (!IsCaptureDevice(capability))
        return -ENODEV;
    opened->wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (opened->wakeFd_ < 0)
        return -errno;
    const Ioctl ioctl = NodeIoctl(fd);
    opened->modes_ = EnumerateModes(ioctl);
    opened->hasInputs_ = EnumerateInputTypes(ioctl, IsUsbBus(capability), opened->inputTypes_);
    device = std::move(opened);
    return 0;
}

int V4l2Device::Xioctl(unsigned long request, void* arg) const
{
    return RetryIoctl(fd_, request, arg);
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
    mode_ = *mode;
    return 0;
}

int V4l2Device::SetDeliveredBitCount(int bitCount)
{
    if (bitCount == 0 || bitCount != DeliveredBitCount(mode_.format.bitCount))
        return kEFail;
    deliveredBitCount_ = bitCount;
    return 0;
}

int V4l2Device::PrepareStreaming()
{
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = uint32_t(mode_.format.width);
    format.fmt.pix.height = uint32_t(mode_.format.height);
    format.fmt.pix.pixelformat = mode_.pixelFormat;
    format.fmt.pix.field = V4L2_FIELD_ANY;
    // EBUSY here: another program streams the device.
    if (const int rc = Xioctl(VIDIOC_S_FMT, &format); rc < 0)
        return rc;
    if (format.fmt.pix.pixelformat != mode_.pixelFormat || int(format.fmt.pix.width) != mode_.format.width
        || int(format.fmt.pix.height) != mode_.format.height)
        return -EINVAL;
    pix_ = format.fmt.pix;

    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (Xioctl(VIDIOC_G_PARM, &parm) == 0)
        intervalMs_ = vistrel::FrameIntervalMs(parm, intervalMs_);

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

int V4l2Device::Start()
{
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (const int rc = Xioctl(VIDIOC_STREAMON, &type); rc < 0)
        return rc;
    streaming_ = true;
    thread_ = std::thread([this] { Run(); });
    return 0;
}

void V4l2Device::Stop()
{
    if (thread_.joinable()) {
        const uint64_t one = 1;
        if (::write(wakeFd_, &one, sizeof one) < 0)
            qCDebug(lcCapture) << "cannot wake the capture thread" << strerror(errno);
        thread_.join();
    }
    std::lock_guard lock(fdMutex_);
    if (fd_ >= 0) {
        if (streaming_) {
            int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            Xioctl(VIDIOC_STREAMOFF, &type);
            streaming_ = false;
        }
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

void V4l2Device::Route(int outputPin, int inputPin)
{
    // Output 0 is the decoder; routes to anything else are refused.
    if (outputPin != 0 || inputPin < 0 || inputPin >= int(inputTypes_.size()))
        return;
    std::lock_guard lock(fdMutex_);
    if (fd_ < 0)
        return;
    int index = inputPin;
    if (const int rc = Xioctl(VIDIOC_S_INPUT, &index); rc < 0)
        qCDebug(lcCapture) << "input" << inputPin << "refused:" << strerror(-rc);
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
    RawFrameView view;
    view.pixelFormat = pix_.pixelformat;
    view.width = int(pix_.width);
    view.height = int(pix_.height);
    view.bytesPerLine = pix_.bytesperline;
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
    std::shared_ptr<const RawFrame> previous;
    {
        std::lock_guard lock(latestMutex_);
        previous = std::exchange(latest_, frame);
    }
    spare_ = std::const_pointer_cast<RawFrame>(previous);
    ++sequence_;
}

// The capture thread: waits for a filled buffer, keeps a copy of it as the
// latest frame and hands the buffer back at once. A failing device (gone,
// I/O error, silent for too long) ends the loop and is marked lost.
void V4l2Device::Run()
{
    for (;;) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        const int ready = ::poll(fds, 2, kFrameTimeoutMs);
        if (fds[1].revents)
            return; // Stop
        const StreamStep afterWait = StepAfterWait(ready < 0 ? -errno : ready);
        if (afterWait == StreamStep::Retry)
            continue;
        if (afterWait == StreamStep::Fail) {
            qCDebug(lcCapture) << "no frame within" << kFrameTimeoutMs << "ms, or the wait failed";
            break;
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
            break;
        }
        if (step == StreamStep::Deliver && buffer.index < buffers_.size())
            Publish(buffers_[buffer.index], buffer.bytesused);
        if (const int requeue = Xioctl(VIDIOC_QBUF, &buffer); requeue < 0) {
            qCDebug(lcCapture) << "requeue failed:" << strerror(-requeue);
            break;
        }
    }
    lost_ = true;
    std::lock_guard lock(latestMutex_);
    latest_.reset();
}

} // namespace vistrel
