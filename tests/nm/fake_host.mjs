// A stand-in native host for the extension's own paths that the real
// component only takes under a real sign dialog: a page event raised during
// a call, and a component process that goes away with a call unanswered.
//
// Every request for Sign2 is answered as a wrong password would be: first
// the event, then the result. Any request for ShowKeyboard makes the
// process exit without answering. Everything else gets "0".
import fs from 'node:fs';
import os from 'node:os';

let pending = Buffer.alloc(0);

function send(message) {
  const body = Buffer.from(JSON.stringify(message), 'utf8');
  const header = Buffer.alloc(4);
  if (os.endianness() === 'LE') header.writeUInt32LE(body.length, 0);
  else header.writeUInt32BE(body.length, 0);
  fs.writeSync(1, Buffer.concat([header, body]));
}

function handle(request) {
  if (request.method === 'ShowKeyboard') process.exit(0);
  if (request.method === 'Sign2') {
    send({ event: 'componentWKPEvent', args: ['', request.args[1], 'G\u0142\u00f3wny klucz', '1'] });
    send({ id: request.id, result: '9|' + request.args[1] });
    return;
  }
  send({ id: request.id, result: '0' });
}

process.stdin.on('data', (chunk) => {
  pending = Buffer.concat([pending, chunk]);
  while (pending.length >= 4) {
    const length = os.endianness() === 'LE' ? pending.readUInt32LE(0) : pending.readUInt32BE(0);
    if (pending.length < 4 + length) break;
    const body = pending.subarray(4, 4 + length).toString('utf8');
    pending = pending.subarray(4 + length);
    handle(JSON.parse(body));
  }
});
process.stdin.on('end', () => process.exit(0));
