// SPDX-License-Identifier: GPL-3.0-or-later
'use strict';
// Says why the last login failed: the server answers a wrong password with a
// redirect to /login?failed=1.
document.addEventListener('DOMContentLoaded', () => {
  if (new URLSearchParams(location.search).has('failed')) {
    const message = document.getElementById('message');
    message.textContent = 'Wrong user name or password.';
    message.hidden = false;
  }
});
