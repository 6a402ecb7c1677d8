// SPDX-License-Identifier: GPL-3.0-or-later
'use strict';
// All cameras live. The status comes as Server-Sent Events (at most twice a
// second); each one also refreshes the pictures, one request per camera at a
// time, so a phone on a slow link drops pictures instead of queuing them. A
// camera opened on its own streams MJPEG at the recorder's full rate.
(() => {
  const tiles = new Map(); // letter -> {root, picture, meter, lines, fault, loading}
  let single = null;       // the letter shown on its own
  let refresh = 0;

  function tile(letter) {
    if (tiles.has(letter))
      return tiles.get(letter);
    const root = Vistrel.el('article', 'camera');
    const picture = Vistrel.el('img');
    picture.alt = 'Camera ' + letter;
    const title = Vistrel.el('h2', '', 'Camera ' + letter);
    const meter = Vistrel.el('meter');
    meter.min = 0;
    meter.max = 100;
    meter.title = 'Motion';
    const lines = Vistrel.el('p', 'lines');
    const fault = Vistrel.el('p', 'fault');
    root.append(picture, title, meter, lines, fault);
    const entry = {root, picture, meter, lines, fault, loading: false};
    picture.addEventListener('load', () => { entry.loading = false; });
    picture.addEventListener('error', () => { entry.loading = false; });
    root.addEventListener('click', () => open(letter));
    document.getElementById('cameras').append(root);
    tiles.set(letter, entry);
    return entry;
  }

  function show(status) {
    document.getElementById('recorder').textContent =
      'Vistrel ' + status.instance + (status.capturing ? '' : ' (not capturing)');
    const seen = new Set();
    refresh += 1;
    for (const camera of status.cameras) {
      seen.add(camera.letter);
      const entry = tile(camera.letter);
      entry.meter.value = camera.motion;
      entry.lines.textContent = [camera.frameRate, camera.archive, camera.forecast].filter(Boolean).join('\n');
      entry.fault.textContent = camera.fault;
      entry.fault.hidden = !camera.fault;
      entry.root.classList.toggle('disabled', !camera.enabled);
      if (!entry.loading && single === null) {
        entry.loading = true;
        entry.picture.src = '/api/v1/cameras/' + camera.letter + '/latest.jpg?n=' + refresh;
      }
    }
    for (const [letter, entry] of tiles) {
      if (!seen.has(letter)) {
        entry.root.remove();
        tiles.delete(letter);
      }
    }
  }

  function open(letter) {
    single = letter;
    document.getElementById('cameras').hidden = true;
    document.getElementById('single').hidden = false;
    document.getElementById('single-title').textContent = 'Camera ' + letter;
    document.getElementById('single-archive').href = '/archive?camera=' + letter;
    document.getElementById('single-picture').src = '/api/v1/cameras/' + letter + '/stream.mjpg';
  }

  function close() {
    single = null;
    // An empty src ends the stream's connection.
    document.getElementById('single-picture').removeAttribute('src');
    document.getElementById('single').hidden = true;
    document.getElementById('cameras').hidden = false;
  }

  function connect() {
    const source = new EventSource('/api/v1/status/stream');
    const lost = document.getElementById('connection');
    source.addEventListener('status', (event) => {
      lost.hidden = true;
      show(JSON.parse(event.data));
    });
    source.addEventListener('error', () => {
      lost.hidden = false;
      // The session may have ended: a plain request tells.
      Vistrel.json('/api/v1/status').catch(() => {});
    });
  }

  document.addEventListener('DOMContentLoaded', () => {
    document.getElementById('single-close').addEventListener('click', close);
    const wanted = new URLSearchParams(location.search).get('camera');
    if (wanted && /^[A-H]$/.test(wanted))
      open(wanted);
    connect();
  });
})();
