#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A small load client for the recorder's web server, for process_bench.sh.

usage: web_load.py PORT USER PASSWORD cookie
         prints the session cookie of a login ("name=value")
       web_load.py PORT USER PASSWORD streams N SECONDS
         holds N MJPEG streams of camera A open for SECONDS, reading every
         byte, then prints the pictures each received: "pictures MIN MAX"
       web_load.py PORT USER PASSWORD latest CONNECTIONS SECONDS
         asks for camera A's latest.jpg as fast as it is answered on
         CONNECTIONS kept-alive connections and prints "requests_per_second N"
"""
import http.client
import selectors
import socket
import sys
import threading
import time
import urllib.parse


def login(port, user, password):
    connection = http.client.HTTPConnection('127.0.0.1', port, timeout=30)
    body = urllib.parse.urlencode({'user': user, 'password': password})
    connection.request('POST', '/login', body, {'Origin': 'http://127.0.0.1:%d' % port,
                                                'Content-Type': 'application/x-www-form-urlencoded'})
    response = connection.getresponse()
    cookie = response.getheader('Set-Cookie', '')
    if response.status != 303 or not cookie:
        sys.exit('login refused: %d' % response.status)
    return cookie.split(';')[0]


def streams(port, cookie, count, seconds):
    selector = selectors.DefaultSelector()
    counts = {}
    for i in range(count):
        # From several loopback addresses: the server takes 16 connections from one.
        s = socket.create_connection(('127.0.0.1', port), source_address=('127.0.0.%d' % (2 + i // 8), 0))
        s.sendall(('GET /api/v1/cameras/A/stream.mjpg HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: %s\r\n\r\n'
                   % cookie).encode())
        s.setblocking(False)
        selector.register(s, selectors.EVENT_READ)
        counts[s] = [0, b'']
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        for key, _ in selector.select(timeout=0.5):
            data = key.fileobj.recv(1 << 16)
            entry = counts[key.fileobj]
            text = entry[1] + data
            entry[0] += text.count(b'--vistrelframe')
            entry[1] = text[-20:]
    pictures = [entry[0] for entry in counts.values()]
    for s in counts:
        s.close()
    print('pictures %d %d' % (min(pictures), max(pictures)))


def latest(port, cookie, connections, seconds):
    done = [0] * connections
    deadline = time.monotonic() + seconds

    def run(i):
        connection = http.client.HTTPConnection('127.0.0.1', port, timeout=30)
        while time.monotonic() < deadline:
            connection.request('GET', '/api/v1/cameras/A/latest.jpg', headers={'Cookie': cookie})
            response = connection.getresponse()
            response.read()
            if response.status == 200:
                done[i] += 1
    threads = [threading.Thread(target=run, args=(i,)) for i in range(connections)]
    start = time.monotonic()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    print('requests_per_second %.0f' % (sum(done) / (time.monotonic() - start)))


def main():
    port, user, password, what = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
    cookie = login(port, user, password)
    if what == 'cookie':
        print(cookie)
    elif what == 'streams':
        streams(port, cookie, int(sys.argv[5]), float(sys.argv[6]))
    elif what == 'latest':
        latest(port, cookie, int(sys.argv[5]), float(sys.argv[6]))
    else:
        sys.exit(__doc__)


if __name__ == '__main__':
    main()
