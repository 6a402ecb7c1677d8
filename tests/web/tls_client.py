#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A script client of the web server over TLS that trusts one certificate by
its SHA-256 fingerprint (as a user who read it in the dialog would), never a
certificate authority. Prints one line per check; exits non-zero when the
fingerprint does not match.

Usage: tls_client.py PORT FINGERPRINT USER PASSWORD
"""
import base64
import hashlib
import http.client
import ssl
import sys
import urllib.parse

port, fingerprint, user, password = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]
context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
context.check_hostname = False
context.verify_mode = ssl.CERT_NONE  # trust comes from the fingerprint below


def connect():
    connection = http.client.HTTPSConnection('127.0.0.1', int(port), context=context, timeout=30)
    connection.connect()
    der = connection.sock.getpeercert(binary_form=True)
    seen = ':'.join('%02X' % b for b in hashlib.sha256(der).digest())
    if seen != fingerprint:
        print('fingerprint mismatch: served', seen)
        sys.exit(2)
    return connection


def request(method, target, headers=None, body=None):
    connection = connect()
    connection.request(method, target, body=body, headers=headers or {})
    response = connection.getresponse()
    response.read()
    connection.close()
    return response


print('healthz', request('GET', '/healthz').status)

origin = 'https://127.0.0.1:' + port
form = urllib.parse.urlencode({'user': user, 'password': password})
login = request('POST', '/login', {'Origin': origin, 'Content-Type': 'application/x-www-form-urlencoded'}, form)
cookie = login.getheader('Set-Cookie') or ''
print('login', login.status, 'secure' if '; Secure' in cookie else 'not-secure')

basic = base64.b64encode((user + ':' + password).encode()).decode()
print('basic', request('GET', '/api/v1/status', {'Authorization': 'Basic ' + basic}).status)
wrong = base64.b64encode((user + ':wrong').encode()).decode()
print('wrong', request('GET', '/api/v1/status', {'Authorization': 'Basic ' + wrong}).status)
