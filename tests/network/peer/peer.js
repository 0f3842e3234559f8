// SPDX-License-Identifier: GPL-3.0-or-later
// An RTP-MIDI peer of another implementation, for the hub's network tests.
//
//   node peer.js initiate NAME PORT HUB_PORT [NOTES]   invites the hub at 127.0.0.1:HUB_PORT
//   node peer.js listen NAME PORT [NOTES]              waits for the hub to invite it
//
// Once connected it sends NOTES note-on/note-off pairs and one SysEx message,
// and expects the hub (routing this peer's input back to its output through
// the Router) to send every one of them back. Exits 0 when all came back in
// order, 1 otherwise; prints one line of what it saw.
'use strict';

const { Session } = require('rtpmidi');
const logger = require('rtpmidi').logger;

logger.level = 'error';

const [mode, name, portText, ...rest] = process.argv.slice(2);
const port = Number(portText);
const hubPort = mode === 'initiate' ? Number(rest[0]) : 0;
const notes = Number((mode === 'initiate' ? rest[1] : rest[0]) || 20);
const limitMs = 20000;

const session = new Session(port, name, name, undefined, false, 4);
const expected = [];
for (let i = 0; i < notes; i += 1) {
  const note = 36 + (i % 48);
  expected.push([0x90, note, 100]);
  expected.push([0x80, note, 0]);
}
const sysex = [0xf0, 0x7d];
for (let i = 0; i < 300; i += 1) sysex.push(i % 128);
sysex.push(0xf7);
expected.push(sysex);

const received = [];
let sent = false;

function finish(code, text) {
  console.log(`${code === 0 ? 'PASS' : 'FAIL'}: ${text}`);
  session.end(() => process.exit(code));
  setTimeout(() => process.exit(code), 1000);
}

// The hub may send note-offs as note-ons of velocity 0 and back; compare by meaning.
function normal(bytes) {
  const b = Array.from(bytes);
  if ((b[0] & 0xf0) === 0x90 && b[2] === 0) return [0x80 | (b[0] & 0x0f), b[1], 0];
  if ((b[0] & 0xf0) === 0x80) return [b[0], b[1], 0];
  return b;
}

session.on('message', (delta, message) => {
  received.push(normal(message));
  if (received.length < expected.length) return;
  for (let i = 0; i < expected.length; i += 1) {
    const a = JSON.stringify(normal(expected[i]));
    const b = JSON.stringify(received[i]);
    if (a !== b) return finish(1, `message ${i} came back as ${b}, sent ${a}`);
  }
  return finish(0, `${received.length} messages sent and received back (${notes} notes, one ${sysex.length}-byte SysEx)`);
});

// One message in one packet, straight to the stream (the session's own
// queue does not send a single message as its API describes).
function send(stream, bytes) {
  stream.sendMessage({ timestamp: session.now(), commands: [{ deltaTime: 0, data: Buffer.from(bytes) }] });
}

session.on('streamAdded', (event) => {
  if (sent) return;
  sent = true;
  const { stream } = event;
  let i = 0;
  const next = () => {
    // The stream sends nothing before its first clock synchronisation.
    if (stream.latency === null || stream.timeDifference === null) return setTimeout(next, 20);
    for (let k = 0; k < 8 && i < expected.length; k += 1, i += 1) send(stream, expected[i]);
    if (i < expected.length) setTimeout(next, 5);
    return undefined;
  };
  // Give the hub a moment to list the new endpoint before MIDI flows.
  setTimeout(next, 300);
});

session.on('error', (error) => finish(1, `socket error ${error.message}`));
session.on('ready', () => {
  console.log(`ready on ${port}`);
  if (mode === 'initiate') session.connect({ address: '127.0.0.1', port: hubPort });
});
session.start();

setTimeout(() => finish(1, `timed out with ${received.length} of ${expected.length} messages back`), limitMs);
