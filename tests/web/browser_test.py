#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The web pages in a real browser against the built recorder.

Runs the recorder as a user would (offscreen, the test-pattern device on its
still input, a private settings store and home seeded here, the password set
through `vistrel --web-password` on standard input), then drives headless
Chromium through Selenium: logs in, sees the live picture change where the
clock is, opens camera A's archive, plays it, exports a range as MP4 and
checks the downloaded file with ffprobe. Screenshots are kept in the output
folder given as the second argument.

usage: browser_test.py VISTREL_BINARY OUTPUT_FOLDER
"""
import http.client
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

PASSWORD = 'a browser password'
USER = 'keeper'


def fail(message):
    print('FAIL: ' + message, flush=True)
    sys.exit(1)


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def wait_until(what, condition, seconds=60):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            if condition():
                return
        except Exception:  # not there yet
            pass
        time.sleep(0.2)
    fail('timed out waiting for ' + what)


def le32(value):
    return 'hex:' + ','.join('%02x' % ((value >> shift) & 255) for shift in (0, 8, 16, 24))


def set_values(store, key, values):
    """Sets values of a key file in the store, as a person editing it would."""
    folder = os.path.join(store, 'HKEY_LOCAL_MACHINE', *key.split('\\'))
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, 'values.reg')
    lines = open(path).read().splitlines() if os.path.exists(path) else ['REGEDIT4', '', '[HKEY_LOCAL_MACHINE\\%s]' % key]
    for name, value in values.items():
        line = '"%s"=%s' % (name, value)
        at = [i for i, old in enumerate(lines) if old.lower().startswith('"%s"=' % name.lower())]
        if at:
            lines[at[0]] = line
        else:
            lines.append(line)
    with open(path, 'w') as f:
        f.write('\n'.join(lines) + '\n')


def main():
    binary, output = sys.argv[1], sys.argv[2]
    os.makedirs(output, exist_ok=True)
    sandbox = tempfile.mkdtemp(prefix='vistrel-browser.')
    env = dict(os.environ, HOME=os.path.join(sandbox, 'home'), VISTREL_REGISTRY=os.path.join(sandbox, 'store'),
               XDG_RUNTIME_DIR=os.path.join(sandbox, 'xdg'), QT_QPA_PLATFORM='offscreen', VISTREL_NO_V4L2='1')
    for folder in (env['HOME'], env['VISTREL_REGISTRY'], env['XDG_RUNTIME_DIR']):
        os.makedirs(folder, mode=0o700)
    recorder = None
    browser = None
    try:
        subprocess.run([binary, '--seed-defaults'], env=env, check=True, capture_output=True)
        subprocess.run([binary, '--web-password'], env=env, check=True, capture_output=True,
                       input=(PASSWORD + '\n').encode())
        # The still input, so only the clock of the overlay changes, every
        # image archived (there is no motion to wait for).
        store = env['VISTREL_REGISTRY']
        set_values(store, 'Software\\Tallow Software\\Vistrel\\Camera1\\Settings', {'InputPin': le32(3)})
        set_values(store, 'Software\\Tallow Software\\Vistrel\\Camera1\\MuxedCamA', {'EnableArchiveMotion': le32(0)})
        port = free_port()
        set_values(store, 'Software\\Tallow Software\\Vistrel\\Camera1\\Web',
                   {'Enable': 'dword:00000001', 'Port': 'dword:%08x' % port, 'User': '"%s"' % USER})
        recorder = subprocess.Popen([binary, '-m'], env=env, stdout=subprocess.DEVNULL,
                                    stderr=open(os.path.join(output, 'recorder.log'), 'w'))
        base = 'http://127.0.0.1:%d' % port

        def healthy():
            connection = http.client.HTTPConnection('127.0.0.1', port, timeout=5)
            connection.request('GET', '/healthz')
            return connection.getresponse().status == 200
        wait_until('the web server', healthy)

        downloads = os.path.join(sandbox, 'downloads')
        os.makedirs(downloads)
        options = webdriver.ChromeOptions()
        options.binary_location = '/usr/bin/chromium'
        for argument in ('--headless=new', '--disable-gpu', '--window-size=1024,900', '--disable-dev-shm-usage'):
            options.add_argument(argument)
        if os.geteuid() == 0:
            options.add_argument('--no-sandbox')
        options.add_experimental_option('prefs', {'download.default_directory': downloads,
                                                  'download.prompt_for_download': False})
        service = Service(executable_path='/usr/bin/chromedriver')
        browser = webdriver.Chrome(options=options, service=service)
        wait = WebDriverWait(browser, 60)

        # Logging in leads to the live page.
        browser.get(base + '/')
        wait.until(lambda b: b.current_url.endswith('/login'))
        browser.find_element(By.NAME, 'user').send_keys(USER)
        browser.find_element(By.NAME, 'password').send_keys(PASSWORD)
        browser.find_element(By.CSS_SELECTOR, 'form button[type=submit], form input[type=submit]').click()
        try:
            wait.until(lambda b: b.current_url.rstrip('/') == base)
        except Exception:
            fail('login led to ' + browser.current_url)

        # The live picture changes where the clock is (the rest stands still).
        picture = wait.until(lambda b: b.find_element(By.CSS_SELECTOR, '#cameras article img'))
        wait.until(lambda b: b.execute_script('return arguments[0].complete && arguments[0].naturalWidth', picture))
        first = picture.screenshot_as_png
        browser.save_screenshot(os.path.join(output, 'live-1.png'))
        wait_until('a new live picture', lambda: picture.screenshot_as_png != first, 30)
        browser.save_screenshot(os.path.join(output, 'live-2.png'))
        status = browser.find_element(By.ID, 'recorder').text
        if not status.startswith('Vistrel 1'):
            fail('the live page shows "%s"' % status)

        # Camera A's archive: the cursor starts at the newest image.
        wait_until('a few archive images', lambda: len(os.listdir(os.path.join(env['HOME'], 'Cameras', 'Camera1A'))) >= 6)
        browser.get(base + '/archive?camera=A')
        wait.until(lambda b: b.find_element(By.ID, 'cursor-time').text != '')
        wait.until(lambda b: b.execute_script(
            'const p = document.getElementById("picture"); return p.complete && p.naturalWidth > 0'))
        browser.find_element(By.ID, 'mark-to').click()
        for _ in range(4):
            browser.find_element(By.ID, 'step-back').click()
        browser.find_element(By.ID, 'mark-from').click()
        start = browser.find_element(By.ID, 'cursor-time').text
        browser.find_element(By.ID, 'play').click()
        wait.until(lambda b: b.find_element(By.ID, 'cursor-time').text != start)
        browser.save_screenshot(os.path.join(output, 'archive.png'))

        # Export the marked range as MP4 and download it.
        browser.find_element(By.ID, 'export').click()
        link = wait.until(lambda b: b.find_element(By.ID, 'download') if b.find_element(By.ID, 'download').is_displayed()
                          else None)
        link.click()
        wait_until('the download', lambda: any(name.endswith('.mp4') for name in os.listdir(downloads)))
        video = os.path.join(downloads, next(name for name in os.listdir(downloads) if name.endswith('.mp4')))
        probe = subprocess.run(['ffprobe', '-v', 'error', '-show_entries', 'stream=codec_type,nb_frames',
                                '-of', 'json', video], capture_output=True, text=True)
        streams = json.loads(probe.stdout or '{}').get('streams', [])
        if probe.returncode != 0 or not streams or streams[0].get('codec_type') != 'video':
            fail('the downloaded file is no video: ' + probe.stderr)
        if int(streams[0].get('nb_frames', '0')) < 5:
            fail('the video holds %s frames, not the 5 marked' % streams[0].get('nb_frames'))
        shutil.copy(video, os.path.join(output, 'export.mp4'))
        browser.save_screenshot(os.path.join(output, 'exported.png'))
        if recorder.poll() is not None:
            fail('the recorder ended during the test')
        print('browser test passed; screenshots in ' + output)
    finally:
        if browser:
            browser.quit()
        if recorder and recorder.poll() is None:
            recorder.terminate()
            try:
                recorder.wait(60)
            except subprocess.TimeoutExpired:
                recorder.kill()
        shutil.rmtree(sandbox, ignore_errors=True)


if __name__ == '__main__':
    main()
