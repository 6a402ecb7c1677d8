// SPDX-License-Identifier: GPL-3.0-or-later
'use strict';
// A camera's archive by day: a timeline of the day with the images (bars), the
// gaps (empty) and the events (red marks); the image at the cursor; play and
// step; and export of a marked range as MP4 or ZIP, with progress and a
// download link when done.
(() => {
  const $ = (id) => document.getElementById(id);
  let images = [];   // {name, timeMs}, oldest first
  let events = [];   // times in ms
  let dayFromMs = 0;
  let cursor = -1;   // index into images
  let playing = false;
  let playTimer = 0;
  let marks = {from: null, to: null}; // ms

  const camera = () => $('camera').value;

  function draw() {
    const canvas = $('timeline');
    const width = canvas.clientWidth;
    canvas.width = width * devicePixelRatio;
    canvas.height = 64 * devicePixelRatio;
    const g = canvas.getContext('2d');
    g.scale(devicePixelRatio, devicePixelRatio);
    g.clearRect(0, 0, width, 64);
    const x = (ms) => (ms - dayFromMs) / 86400000 * width;
    if (marks.from !== null && marks.to !== null) {
      g.fillStyle = 'rgba(80, 140, 255, 0.25)';
      g.fillRect(x(Math.min(marks.from, marks.to)), 0, Math.abs(x(marks.to) - x(marks.from)) + 1, 64);
    }
    // One column per pixel that holds any image; the empty ones are the gaps.
    g.fillStyle = '#4a8';
    let last = -1;
    for (const image of images) {
      const column = Math.floor(x(image.timeMs));
      if (column !== last)
        g.fillRect(column, 20, 1, 30);
      last = column;
    }
    g.fillStyle = '#d33';
    for (const ms of events)
      g.fillRect(Math.floor(x(ms)), 6, 2, 12);
    g.fillStyle = '#888';
    for (let hour = 0; hour <= 24; hour += 3) {
      g.fillRect(Math.floor(hour / 24 * (width - 1)), 52, 1, 12);
    }
    if (cursor >= 0) {
      g.fillStyle = '#fff';
      g.fillRect(Math.floor(x(images[cursor].timeMs)), 0, 2, 64);
    }
  }

  function showCursor() {
    if (cursor < 0) {
      $('picture').removeAttribute('src');
      $('cursor-time').textContent = '';
    } else {
      const image = images[cursor];
      $('picture').src = '/api/v1/cameras/' + camera() + '/archive/' + encodeURIComponent(image.name);
      $('cursor-time').textContent = Vistrel.dateTimeText(image.timeMs);
    }
    draw();
  }

  // The last image at or before a time, else the first.
  function indexAt(ms) {
    let low = 0, high = images.length - 1, found = 0;
    while (low <= high) {
      const middle = (low + high) >> 1;
      if (images[middle].timeMs <= ms) {
        found = middle;
        low = middle + 1;
      } else {
        high = middle - 1;
      }
    }
    return images.length ? found : -1;
  }

  function step(by) {
    if (!images.length)
      return;
    cursor = Math.max(0, Math.min(images.length - 1, cursor + by));
    showCursor();
  }

  function stop() {
    playing = false;
    clearTimeout(playTimer);
    $('play').textContent = 'Play';
  }

  // Each image stays for the time to the next one at the chosen speed (at
  // most two seconds), and only once it has loaded.
  function playNext() {
    if (!playing)
      return;
    if (cursor >= images.length - 1) {
      stop();
      return;
    }
    const wait = Math.min(2000, (images[cursor + 1].timeMs - images[cursor].timeMs) / Number($('speed').value));
    playTimer = setTimeout(() => {
      step(1);
      $('picture').addEventListener('load', playNext, {once: true});
      $('picture').addEventListener('error', playNext, {once: true});
    }, Math.max(0, wait));
  }

  async function load() {
    stop();
    dayFromMs = Vistrel.dayStart($('day').value) * 1000;
    const from = dayFromMs / 1000;
    const query = '?from=' + from + '&to=' + (from + 86400);
    const [archive, log] = await Promise.all([
      Vistrel.json('/api/v1/cameras/' + camera() + '/archive' + query),
      Vistrel.json('/api/v1/events' + query).catch(() => []),
    ]);
    images = archive.images;
    events = log.filter((e) => e.camera === undefined || String(e.camera).endsWith(camera()))
                .map(Vistrel.eventTimeMs).filter((ms) => !isNaN(ms));
    $('count').textContent = images.length + ' images' + (archive.truncated ? ' (first part of the day)' : '');
    $('empty').hidden = images.length > 0;
    cursor = images.length ? images.length - 1 : -1;
    showCursor();
  }

  function markText(ms) {
    return ms === null ? '–' : Vistrel.timeText(ms);
  }

  function mark(which) {
    if (cursor < 0)
      return;
    marks[which] = images[cursor].timeMs;
    $('from-time').textContent = markText(marks.from);
    $('to-time').textContent = markText(marks.to);
    draw();
  }

  async function exportRange() {
    if (marks.from === null || marks.to === null) {
      $('export-state').textContent = 'Mark the start and the end first.';
      return;
    }
    const from = Math.floor(Math.min(marks.from, marks.to) / 1000);
    const to = Math.floor(Math.max(marks.from, marks.to) / 1000) + 1;
    $('download').hidden = true;
    $('progress').hidden = false;
    $('progress').value = 0;
    try {
      const form = new URLSearchParams({camera: camera(), from, to, format: $('format').value});
      const job = await Vistrel.json('/api/v1/exports', {method: 'POST', body: form});
      while (true) {
        const state = await Vistrel.json('/api/v1/exports/' + job.id);
        $('progress').value = state.progress;
        $('export-state').textContent = state.state === 'waiting' ? 'Waiting for another export…'
          : state.state === 'running' ? 'Exporting… ' + state.progress + '%' : '';
        if (state.state === 'done') {
          $('download').href = '/api/v1/exports/' + job.id + '/file';
          $('download').hidden = false;
          $('export-state').textContent = 'Done.';
          break;
        }
        if (state.state === 'failed') {
          $('export-state').textContent = 'Export failed: ' + state.error;
          break;
        }
        await new Promise((resolve) => setTimeout(resolve, 1000));
      }
    } catch (error) {
      $('export-state').textContent = 'Export failed: ' + error.message;
    }
    $('progress').hidden = true;
  }

  function seek(event) {
    const canvas = $('timeline');
    const rect = canvas.getBoundingClientRect();
    const ms = dayFromMs + (event.clientX - rect.left) / rect.width * 86400000;
    stop();
    cursor = indexAt(ms);
    showCursor();
  }

  document.addEventListener('DOMContentLoaded', async () => {
    const params = new URLSearchParams(location.search);
    const status = await Vistrel.json('/api/v1/cameras').catch(() => []);
    const letters = status.length ? status.map((c) => c.letter) : ['A'];
    for (const letter of letters)
      $('camera').append(new Option('Camera ' + letter, letter));
    if (params.get('camera') && letters.includes(params.get('camera')))
      $('camera').value = params.get('camera');
    $('day').value = Vistrel.dayText(new Date());
    for (const id of ['camera', 'day'])
      $(id).addEventListener('change', () => load().catch((e) => { $('count').textContent = e.message; }));
    $('timeline').addEventListener('pointerdown', (event) => {
      seek(event);
      $('timeline').setPointerCapture(event.pointerId);
    });
    $('timeline').addEventListener('pointermove', (event) => {
      if ($('timeline').hasPointerCapture(event.pointerId))
        seek(event);
    });
    $('step-back').addEventListener('click', () => { stop(); step(-1); });
    $('step-forward').addEventListener('click', () => { stop(); step(1); });
    $('play').addEventListener('click', () => {
      if (playing) {
        stop();
        return;
      }
      if (cursor >= images.length - 1)
        cursor = images.length ? 0 : -1;
      playing = true;
      $('play').textContent = 'Pause';
      showCursor();
      playNext();
    });
    $('mark-from').addEventListener('click', () => mark('from'));
    $('mark-to').addEventListener('click', () => mark('to'));
    $('export').addEventListener('click', exportRange);
    addEventListener('resize', draw);
    load().catch((e) => { $('count').textContent = e.message; });
  });
})();
