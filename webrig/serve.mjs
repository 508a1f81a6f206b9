// A static server for the page on localhost (a secure context, where Web Serial is offered).
// Usage: node webrig/serve.mjs DIR [PORT]
import { createServer } from 'node:http';
import { readFile } from 'node:fs/promises';
import { resolve, sep, extname } from 'node:path';
import { pathToFileURL } from 'node:url';

const TYPES = { '.html': 'text/html; charset=utf-8', '.js': 'text/javascript; charset=utf-8',
  '.mjs': 'text/javascript; charset=utf-8', '.css': 'text/css; charset=utf-8',
  '.json': 'application/json', '.wasm': 'application/wasm', '.png': 'image/png' };

export function serve(root, port = 0) {
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
  return new Promise((done) => server.listen(port, '127.0.0.1', () => done({
    url: `http://127.0.0.1:${server.address().port}/`,
    close: () => new Promise((closed) => { server.closeAllConnections(); server.close(closed); }),
  })));
}

if (import.meta.url === pathToFileURL(process.argv[1]).href) {
  const served = await serve(process.argv[2] || '.', Number(process.argv[3] || 8019));
  console.log(`Serving ${process.argv[2]} at ${served.url} until Ctrl-C`);
}
