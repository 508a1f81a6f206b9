// A static server for the page on localhost (a secure context, where Web Serial is offered).
// With a serial bridge, it also carries the rig's serial port over a WebSocket on the page's own
// origin (SERIAL_PATH), which the page's connect-src 'self' allows and which crosses between the
// page and this process faster than the automation's bindings do.
// Usage: node webrig/serve.mjs DIR [PORT]
import { createServer } from 'node:http';
import { readFile } from 'node:fs/promises';
import { resolve, sep, extname } from 'node:path';
import { pathToFileURL } from 'node:url';
import { WebSocketServer } from 'ws';

const TYPES = { '.html': 'text/html; charset=utf-8', '.js': 'text/javascript; charset=utf-8',
  '.mjs': 'text/javascript; charset=utf-8', '.css': 'text/css; charset=utf-8',
  '.json': 'application/json', '.wasm': 'application/wasm', '.png': 'image/png' };

export const SERIAL_PATH = '/.quarv-rig-serial';

// Each message is { id, args: [op, link, arg] } or a binary write; each answer { id, value } or
// { id, error }. A listening port's bytes are pushed as binary frames, [length of the port's id:
// u16][the port's id][bytes], and its loss as { push: link, value: { lost } }.
// Only pages of this server's own origin may drive the bridge.
function carrySerial(server, bridge) {
  const sockets = new WebSocketServer({ noServer: true, maxPayload: 1 << 20 });
  server.on('upgrade', (request, socket, head) => {
    const own = `http://127.0.0.1:${server.address().port}`;
    let path = '';
    try {
      path = new URL(request.url, 'http://x').pathname;
    } catch {}
    if (path !== SERIAL_PATH || request.headers.origin !== own) {
      socket.end('HTTP/1.1 403 Forbidden\r\n\r\n');
      return;
    }
    sockets.handleUpgrade(request, socket, head, (ws) => {
      const answer = (value) => { if (ws.readyState === ws.OPEN) ws.send(JSON.stringify(value)); };
      const source = { page: ws, push: (link, got) => {
        if (ws.readyState !== ws.OPEN) return;
        if (!got.bytes) return ws.send(JSON.stringify({ push: link, value: got }));
        const name = Buffer.from(link);
        const head = Buffer.alloc(2);
        head.writeUInt16LE(name.length, 0);
        ws.send(Buffer.concat([head, name, got.bytes]));
      } };
      ws.on('message', async (data, isBinary) => {
        let id = null;
        try {
          let op, link, arg;
          if (isBinary) {
            // A write: [id: u32][length of the port's id: u16][the port's id][bytes]
            const length = data.readUInt16LE(4);
            [id, op, link, arg] = [data.readUInt32LE(0), 'write',
              data.subarray(6, 6 + length).toString(), data.subarray(6 + length)];
          } else {
            const message = JSON.parse(data);
            id = message.id;
            [op, link, arg] = message.args;
          }
          if (!Object.hasOwn(bridge.ops, op)) throw new Error(`no operation ${op}`);
          answer({ id, value: (await bridge.handle(source, op, link, arg)) ?? null });
        } catch (error) {
          answer({ id, error: String(error.message) });
        }
      });
      ws.on('close', () => bridge.pageClosed(ws));
    });
  });
  return sockets;
}

export function serve(root, port = 0, bridge = null) {
  const base = resolve(root);
  const server = createServer(async (request, response) => {
    let path;
    try {
      path = decodeURIComponent(new URL(request.url, 'http://x').pathname);
    } catch {
      path = '';
    }
    const file = resolve(base, '.' + (path.endsWith('/') ? path + 'index.html' : path));
    if (!file.startsWith(base + sep)) {
      response.writeHead(404).end();
      return;
    }
    try {
      const body = await readFile(file);
      response.writeHead(200, { 'content-type': TYPES[extname(file)] || 'application/octet-stream',
        'cache-control': 'no-store' });
      response.end(body);
    } catch {
      response.writeHead(404).end();
    }
  });
  const sockets = bridge ? carrySerial(server, bridge) : null;
  return new Promise((done) => server.listen(port, '127.0.0.1', () => done({
    url: `http://127.0.0.1:${server.address().port}/`,
    close: () => new Promise((closed) => {
      sockets?.clients.forEach((ws) => ws.terminate());
      server.closeAllConnections();
      server.close(closed);
    }),
  })));
}

if (import.meta.url === pathToFileURL(process.argv[1]).href) {
  const served = await serve(process.argv[2] || '.', Number(process.argv[3] || 8019));
  console.log(`Serving ${process.argv[2]} at ${served.url} until Ctrl-C`);
}
