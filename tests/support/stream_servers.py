#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Camera-like stream servers on loopback, for the network camera tests and
benchmarks. Started by a test, killed by it; nothing here outlives it.

    stream_servers.py MODE [--port N] [--size WxH] [--fps N] [--gop N]
                           [--codec h264|h265|mjpeg] [--user U --password P]
                           [--frames N] [--bitrate KBITS] [--preset P]
                           [--profile P] [--whole-frames] [--lose N] [--stay]

Prints "PORT <n>" on standard output once it listens (port 0, the default,
takes a free one), then serves until it is killed. The stream is at /cam.

Modes:
  rtsp       RTSP (GStreamer's server): a moving test picture as H.264,
             H.265 or MJPEG (--codec), one encoder per client; --lose N
             drops every n-th RTP packet
  mjpeg      HTTP multipart MJPEG of a moving test picture
  snapshot   HTTP: every request answered with the picture of that moment
  resize     multipart MJPEG whose pictures change to --size2 after --frames
             pictures of a connection; with --stay, from then on every
             connection gets --size2 only, as from a camera set anew
  truncated  multipart MJPEG whose pictures are cut off halfway
  garbage    every connection answered with random bytes
  stall      HTTP requests answered with multipart headers, then nothing;
             any other connection is never answered
With --user and --password, the RTSP and HTTP modes ask for them (basic).
"""

import argparse
import base64
import os
import socket
import socketserver
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import gi

gi.require_version("Gst", "1.0")
from gi.repository import GLib, Gst  # noqa: E402

BOUNDARY = "vistrelframe"


def announce(port):
    print(f"PORT {port}", flush=True)


def parse_size(text):
    width, height = text.lower().split("x")
    return int(width), int(height)


class JpegSource:
    """A live test picture encoded to JPEG; clients wait for the next one."""

    def __init__(self, width, height, fps):
        self._condition = threading.Condition()
        self._frame = None
        self._serial = 0
        pipeline = (
            f"videotestsrc is-live=true pattern=ball ! "
            f"video/x-raw,width={width},height={height},framerate={fps}/1 ! "
            f"videoconvert ! jpegenc quality=80 ! appsink name=sink emit-signals=true max-buffers=1 drop=true"
        )
        self._pipeline = Gst.parse_launch(pipeline)
        self._pipeline.get_by_name("sink").connect("new-sample", self._on_sample)
        self._pipeline.set_state(Gst.State.PLAYING)

    def _on_sample(self, sink):
        sample = sink.emit("pull-sample")
        buffer = sample.get_buffer()
        data = buffer.extract_dup(0, buffer.get_size())
        with self._condition:
            self._frame = data
            self._serial += 1
            self._condition.notify_all()
        return Gst.FlowReturn.OK

    def next_frame(self, after_serial):
        """The first frame newer than `after_serial`, and its serial."""
        with self._condition:
            self._condition.wait_for(lambda: self._serial > after_serial, timeout=10)
            return self._frame, self._serial


def check_basic(handler, args):
    if not args.user:
        return True
    expected = "Basic " + base64.b64encode(f"{args.user}:{args.password}".encode()).decode()
    if handler.headers.get("Authorization") == expected:
        return True
    handler.send_response(401)
    handler.send_header("WWW-Authenticate", 'Basic realm="camera"')
    handler.send_header("Content-Length", "0")
    handler.end_headers()
    return False


def http_server(args):
    width, height = parse_size(args.size)
    sources = [JpegSource(width, height, args.fps)]
    if args.mode == "resize":
        width2, height2 = parse_size(args.size2)
        sources.append(JpegSource(width2, height2, args.fps))
    resized = threading.Event()  # --stay: the new size for every later connection

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.0"

        def log_message(self, *_):
            pass

        def do_GET(self):
            if not check_basic(self, args):
                return
            if args.mode == "snapshot":
                frame, _ = sources[0].next_frame(0)
                self.send_response(200)
                self.send_header("Content-Type", "image/jpeg")
                self.send_header("Content-Length", str(len(frame)))
                self.end_headers()
                self.wfile.write(frame)
                return
            self.send_response(200)
            self.send_header("Content-Type", f"multipart/x-mixed-replace;boundary={BOUNDARY}")
            self.end_headers()
            if args.mode == "stall":
                self.wfile.flush()
                while True:
                    time.sleep(60)
            serial, sent = 0, 0
            if resized.is_set():
                sent = args.frames
            try:
                while True:
                    source = sources[1] if args.mode == "resize" and sent >= args.frames else sources[0]
                    if source is not sources[0] and sent == args.frames:
                        serial = 0
                        if args.stay:
                            resized.set()
                    frame, serial = source.next_frame(serial)
                    if args.mode == "truncated":
                        frame = frame[: len(frame) // 2]
                    self.wfile.write(
                        f"--{BOUNDARY}\r\nContent-Type: image/jpeg\r\nContent-Length: {len(frame)}\r\n\r\n".encode()
                    )
                    self.wfile.write(frame)
                    self.wfile.write(b"\r\n")
                    self.wfile.flush()
                    sent += 1
            except (BrokenPipeError, ConnectionResetError):
                pass

    class Server(ThreadingHTTPServer):
        daemon_threads = True
        allow_reuse_address = True

    server = Server(("127.0.0.1", args.port), Handler)
    announce(server.server_address[1])
    server.serve_forever()


def raw_server(args):
    class Handler(socketserver.BaseRequestHandler):
        def handle(self):
            self.request.settimeout(2)
            try:
                request = self.request.recv(4096)
            except socket.timeout:
                request = b""
            try:
                if args.mode == "stall":
                    if request.startswith(b"GET"):
                        self.request.sendall(
                            b"HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary="
                            + BOUNDARY.encode()
                            + b"\r\n\r\n"
                        )
                    while True:
                        time.sleep(60)
                # Garbage, paced, until the client gives up.
                while True:
                    self.request.sendall(os.urandom(16384))
                    time.sleep(0.05)
            except OSError:
                pass

    class Server(socketserver.ThreadingTCPServer):
        daemon_threads = True
        allow_reuse_address = True

    server = Server(("127.0.0.1", args.port), Handler)
    announce(server.server_address[1])
    server.serve_forever()


def rtsp_server(args):
    gi.require_version("GstRtspServer", "1.0")
    from gi.repository import GstRtspServer

    width, height = parse_size(args.size)
    # By default each picture is cut into slices, and the payloader sends the
    # parameter sets again before each slice of a key frame, so a client
    # sees a key frame in several packets; --whole-frames sends one slice
    # a picture, as most cameras do.
    slicing = "sliced-threads=false" if args.whole_frames else ""
    # Key frames only every --gop pictures, however the picture moves.
    slicing += " option-string=scenecut=0"
    encoders = {
        "h264": f"x264enc tune=zerolatency speed-preset={args.preset} key-int-max={args.gop} bitrate={args.bitrate} "
        f"{slicing} ! video/x-h264,profile={args.profile} ! rtph264pay name=pay0 pt=96 config-interval=-1",
        "h265": f"x265enc tune=zerolatency speed-preset=ultrafast key-int-max={args.gop} bitrate={args.bitrate} "
        f"! rtph265pay name=pay0 pt=96 config-interval=-1",
        "mjpeg": "video/x-raw,format=I420 ! jpegenc quality=80 ! rtpjpegpay name=pay0 pt=26",
    }
    # Moving bars keep a large picture busy, as a real scene would.
    pattern = "pattern=smpte horizontal-speed=8" if width * height > 640 * 480 else "pattern=ball"
    launch = (
        f"( videotestsrc is-live=true {pattern} ! video/x-raw,width={width},height={height},"
        f"framerate={args.fps}/1 ! videoconvert ! {encoders[args.codec]} )"
    )
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(launch)
    factory.set_shared(False)
    if args.lose:
        # Every n-th RTP packet never leaves: pictures arrive damaged.
        def drop_some(_factory, media):
            sent = [0]

            def probe(pad, info):
                sent[0] += 1
                return Gst.PadProbeReturn.DROP if sent[0] % args.lose == 0 else Gst.PadProbeReturn.OK

            payloader = media.get_element().get_by_name("pay0")
            payloader.get_static_pad("src").add_probe(Gst.PadProbeType.BUFFER, probe)

        factory.connect("media-configure", drop_some)
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(args.port))
    server.get_mount_points().add_factory("/cam", factory)
    if args.user:
        auth = GstRtspServer.RTSPAuth()
        token = GstRtspServer.RTSPToken()
        token.set_string("media.factory.role", "viewer")
        auth.add_basic(GstRtspServer.RTSPAuth.make_basic(args.user, args.password), token)
        server.set_auth(auth)
        permissions = GstRtspServer.RTSPPermissions()
        permissions.add_role_from_structure(
            Gst.Structure.new_from_string(
                "viewer, media.factory.access=(boolean)true, media.factory.construct=(boolean)true"
            )
        )
        factory.set_permissions(permissions)
    if server.attach(None) == 0:
        sys.exit("cannot listen")
    announce(server.get_bound_port())
    GLib.MainLoop().run()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["rtsp", "mjpeg", "snapshot", "resize", "truncated", "garbage", "stall"])
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--size", default="320x240")
    parser.add_argument("--size2", default="160x120")
    parser.add_argument("--fps", type=int, default=10)
    parser.add_argument("--gop", type=int, default=10)
    parser.add_argument("--bitrate", type=int, default=500, help="kbit/s of the H.264 and H.265 encoders")
    parser.add_argument("--codec", choices=["h264", "h265", "mjpeg"], default="h264")
    parser.add_argument("--preset", default="ultrafast", help="x264 speed preset")
    parser.add_argument("--profile", default="baseline", help="H.264 profile")
    parser.add_argument("--whole-frames", action="store_true", help="one H.264 slice a picture")
    parser.add_argument("--frames", type=int, default=10)
    parser.add_argument("--lose", type=int, default=0, help="RTSP: drop every n-th RTP packet")
    parser.add_argument("--stay", action="store_true", help="resize: later connections get --size2 only")
    parser.add_argument("--user", default="")
    parser.add_argument("--password", default="")
    args = parser.parse_args()
    if args.mode in ("garbage", "stall"):
        raw_server(args)
        return
    Gst.init(None)
    if args.mode == "rtsp":
        rtsp_server(args)
    else:
        # The JPEG pipelines need a running main context for their signals.
        threading.Thread(target=GLib.MainLoop().run, daemon=True).start()
        http_server(args)


if __name__ == "__main__":
    main()
