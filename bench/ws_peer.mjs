// A peer of the benchmarks, run as a child process so that, like the service, its server
// does not share the client's thread: a Node `ws` server over TLS 1.2 with the service's
// certificate. For print_roundtrip.mjs it does for each message what the service does with a
// "/print" (`print`: parse the JSON, decode the base64, write the file) or only receives it
// (`transport`), and says `done` on its IPC channel after each message. For connections.mjs
// (`echo`) it sends each message back. It says `listening <port>` once.
//   node bench/ws_peer.mjs <certificate folder> <print|transport|echo> [scratch file]
import fs from 'node:fs';
import https from 'node:https';
import path from 'node:path';
import { WebSocketServer } from '../e2e/node_modules/ws/wrapper.mjs';

const [folder, mode, scratch] = process.argv.slice(2);
const server = https.createServer({
  cert: fs.readFileSync(path.join(folder, 'server_cert.pem')),
  key: fs.readFileSync(path.join(folder, 'server_key.pem')),
  minVersion: 'TLSv1.2',
  maxVersion: 'TLSv1.2',
});
const wss = new WebSocketServer({ server, maxPayload: 64 * 1024 * 1024 });
wss.on('connection', (ws) => ws.on('message', (data) => {
  if (mode === 'echo') {
    ws.send(data.toString());
    return;
  }
  if (mode === 'print') {
    const message = JSON.parse(data.toString('utf8'));
    fs.writeFileSync(scratch, Buffer.from(message.data, 'base64'));
  }
  process.send('done');
}));
server.listen(0, '127.0.0.1', () => process.send(`listening ${server.address().port}`));
process.on('disconnect', () => process.exit(0));
