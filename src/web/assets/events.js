// SPDX-License-Identifier: GPL-3.0-or-later
'use strict';
// The event log of one day, newest first; today's list grows as events come
// (Server-Sent Events).
(() => {
  const body = () => document.getElementById('events');

  function row(event) {
    const ms = Vistrel.eventTimeMs(event);
    const tr = Vistrel.el('tr');
    const kind = event.type || event.kind || event.event || '';
    const text = event.text || event.message || event.detail || '';
    tr.append(Vistrel.el('td', '', isNaN(ms) ? '' : Vistrel.dateTimeText(ms)),
              Vistrel.el('td', '', event.camera !== undefined ? String(event.camera) : ''),
              Vistrel.el('td', '', [kind, text].filter(Boolean).join(': ') || JSON.stringify(event)));
    return tr;
  }

  async function load() {
    const day = document.getElementById('day').value;
    const from = Vistrel.dayStart(day);
    const events = await Vistrel.json('/api/v1/events?from=' + from + '&to=' + (from + 86400));
    body().replaceChildren(...events.reverse().map(row));
    document.getElementById('empty').hidden = events.length > 0;
  }

  document.addEventListener('DOMContentLoaded', () => {
    const day = document.getElementById('day');
    day.value = Vistrel.dayText(new Date());
    day.addEventListener('change', () => load().catch(() => {}));
    const source = new EventSource('/api/v1/events/stream');
    source.addEventListener('message', (message) => {
      if (day.value !== Vistrel.dayText(new Date()))
        return;
      body().prepend(row(JSON.parse(message.data)));
      document.getElementById('empty').hidden = true;
    });
    // After a lost connection the list is read again, so nothing is missed.
    source.addEventListener('open', () => load().catch(() => {}));
  });
})();
