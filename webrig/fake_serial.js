// A navigator.serial for a headless browser, which has no port picker and sees no
// pseudo-terminal: injected before the page loads, it carries each port's bytes through the
// binding quarvSerial to the rig's process, which holds quarv-sim's pseudo-terminal. It keeps
// to the standard's surface and errors for what the page uses, so the page's code is the code
// that would run against a real port. Plain script, not a module: it runs as an init script.
(() => {
  // A browser without Web Serial, for the page's own message about it.
  if (location.search.includes('quarv-no-serial')) {
    delete Navigator.prototype.serial;
    return;
  }
  // The rig says which way the bytes go: its WebSocket on the page's origin when it set
  // quarvSerialSocket to the socket's path, its automation binding otherwise. The socket opens
  // at the first call, so a page that never touches a port opens none.
  const overSocket = (path) => {
    const waiting = new Map();
    let next = 0;
    let opened = null;
    const connect = () => new Promise((done, failed) => {
      const socket = new WebSocket(`ws://${location.host}${path}`);
      socket.onopen = () => done(socket);
      socket.onerror = () => failed(new Error('the rig\'s serial socket failed'));
      socket.onclose = () => {
        opened = null;
        waiting.forEach((answer) => answer({ error: 'the rig\'s serial socket closed' }));
        waiting.clear();
      };
      socket.onmessage = (event) => {
        const reply = JSON.parse(event.data);
        globalThis.quarvSerialTimes?.push(['answer', performance.now(), reply.value?.bytes?.length ?? 0]);
        waiting.get(reply.id)?.(reply);
        waiting.delete(reply.id);
      };
    });
    return async (...args) => {
      opened ??= connect();
      const socket = await opened;
      const reply = await new Promise((answer) => {
        waiting.set(++next, answer);
        const message = JSON.stringify({ id: next, args });
        globalThis.quarvSerialTimes?.push(['send', performance.now(), args[0]]);
        socket.send(message);
      });
      if (reply.error) throw new Error(reply.error);
      return reply.value;
    };
  };
  // The bench's measure of the rig's own share: with quarvSerialTimes set to an array, each
  // message to the rig and each answer is noted there, on the page's clock.
  const call = globalThis.quarvSerialSocket ? overSocket(globalThis.quarvSerialSocket)
    : (...args) => globalThis.quarvSerial(...args);
  globalThis.quarvSerialCall = call; // the bench's measure of the rig's round trip
  const fail = (name, message) => new DOMException(message, name);
  const PASSING = { parity: ['none', 'even', 'odd'], dataBits: [7, 8], stopBits: [1, 2],
    flowControl: ['none', 'hardware'] };
  const known = new Map(); // rig's port id -> SerialPort, so getPorts returns the same objects

  class SerialPort extends EventTarget {
    #id; #state = 'closed'; #readable = null; #writable = null; #source = null;
    constructor(id) { super(); this.#id = id; this.ondisconnect = null; this.onconnect = null; }
    getInfo() { return { usbVendorId: 0x0403, usbProductId: 0x6001 }; }
    get readable() {
      if (this.#readable || this.#state !== 'opened') return this.#readable;
      const id = this.#id;
      const stream = new ReadableStream({
        pull: async (controller) => {
          const got = await call('read', id);
          if (got.lost) {
            controller.error(fail('NetworkError', 'The device has been lost.'));
            this.#readable = null;
            return this.#lost();
          }
          if (got.closed) return;
          const piece = got.piece || got.bytes.length;
          for (let at = 0; at < got.bytes.length; at += piece)
            controller.enqueue(Uint8Array.from(got.bytes.slice(at, at + piece)));
        },
        cancel: () => { this.#readable = null; return call('purge', id); },
      });
      this.#readable = stream;
      return stream;
    }
    get writable() {
      if (this.#writable || this.#state !== 'opened') return this.#writable;
      const id = this.#id;
      this.#writable = new WritableStream({
        write: async (chunk) => {
          if (!ArrayBuffer.isView(chunk) && !(chunk instanceof ArrayBuffer))
            throw new TypeError('chunk is not a BufferSource');
          const bytes = Array.from(new Uint8Array(chunk.buffer || chunk, chunk.byteOffset || 0,
            chunk.byteLength));
          const sent = await call('write', id, bytes);
          if (sent.lost) {
            this.#writable = null;
            throw fail('NetworkError', 'The device has been lost.');
          }
        },
        close: () => { this.#writable = null; },
        abort: () => { this.#writable = null; },
      });
      return this.#writable;
    }
    async open(options) {
      if (!options || !(options.baudRate > 0))
        throw new TypeError('baudRate must be a positive integer');
      for (const [key, allowed] of Object.entries(PASSING))
        if (key in options && !allowed.includes(options[key])) throw new TypeError(`bad ${key}`);
      if ('bufferSize' in options && !(options.bufferSize > 0 && options.bufferSize <= 16777216))
        throw new TypeError('bad bufferSize');
      if (this.#state !== 'closed') throw fail('InvalidStateError', 'The port is already open.');
      this.#state = 'opening';
      const done = await call('open', this.#id, JSON.parse(JSON.stringify(options)));
      if (!done.ok) {
        this.#state = 'closed';
        throw fail('NetworkError', 'Failed to open serial port.');
      }
      this.#state = 'opened';
    }
    async setSignals(signals) {
      if (this.#state !== 'opened') throw fail('InvalidStateError', 'The port is closed.');
      if (!signals || !['dataTerminalReady', 'requestToSend', 'break'].some((k) => k in signals))
        throw new TypeError('no signal given');
      await call('signals', this.#id, JSON.parse(JSON.stringify(signals)));
    }
    async close() {
      if (this.#state !== 'opened') throw fail('InvalidStateError', 'The port is not open.');
      if (this.#readable?.locked || this.#writable?.locked)
        throw new TypeError('Cannot cancel a locked stream');
      this.#state = 'closing';
      await this.#readable?.cancel();
      await this.#writable?.abort();
      await call('close', this.#id);
      this.#state = 'closed';
    }
    async forget() { known.delete(this.#id); }
    // The standard's disconnect event bubbles from the port to navigator.serial.
    #lost() {
      this.dispatchEvent(new Event('disconnect'));
      const event = new Event('disconnect');
      Object.defineProperty(event, 'target', { value: this });
      serial.dispatchEvent(event);
    }
  }

  class Serial extends EventTarget {
    async requestPort() {
      const id = await call('request');
      if (id === null) throw fail('NotFoundError', 'No port selected by the user.');
      if (!known.has(id)) known.set(id, new SerialPort(id));
      return known.get(id);
    }
    async getPorts() { return [...known.values()]; }
  }
  const serial = new Serial();
  Object.defineProperty(Navigator.prototype, 'serial', { get: () => serial, configurable: true });
})();
