// SPDX-License-Identifier: GPL-3.0-or-later
'use strict';
// Shared by the pages: JSON requests that go back to the login when the
// session has ended, and times shown in the browser's local time.
const Vistrel = {
  async json(url, options) {
    const response = await fetch(url, Object.assign({credentials: 'same-origin'}, options));
    if (response.status === 401) {
      location.href = '/login';
      throw new Error('login required');
    }
    const body = await response.json();
    if (!response.ok)
      throw new Error(body.error || ('HTTP ' + response.status));
    return body;
  },

  // "YYYY-MM-DD" of a Date, in local time.
  dayText(date) {
    const pad = (n) => String(n).padStart(2, '0');
    return date.getFullYear() + '-' + pad(date.getMonth() + 1) + '-' + pad(date.getDate());
  },

  // Seconds since 1970 of local midnight of a "YYYY-MM-DD" text.
  dayStart(text) {
    const [year, month, day] = text.split('-').map(Number);
    return Math.floor(new Date(year, month - 1, day).getTime() / 1000);
  },

  timeText(ms) {
    return new Date(ms).toLocaleTimeString();
  },

  dateTimeText(ms) {
    return new Date(ms).toLocaleString();
  },

  // An event's time in milliseconds, whichever field the event log uses.
  eventTimeMs(event) {
    if (typeof event.timeMs === 'number')
      return event.timeMs;
    for (const key of ['time', 'timestamp', 'ts']) {
      if (typeof event[key] === 'number')
        return event[key] * 1000;
      if (typeof event[key] === 'string' && !isNaN(Date.parse(event[key])))
        return Date.parse(event[key]);
    }
    return NaN;
  },

  el(tag, className, text) {
    const element = document.createElement(tag);
    if (className)
      element.className = className;
    if (text !== undefined)
      element.textContent = text;
    return element;
  },
};
