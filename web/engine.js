// The update engine's WebAssembly module, in the page and in Node alike. The module's byte
// channel reads and its sleep wait for the event loop: binaryen's Asyncify unwinds job_step
// there and rewinds it once the wait is over, so this file keeps one step in flight at a time.

export const State = { Start: 0, Contact: 1, AwaitLink: 2, Writing: 3, Verifying: 4,
  Failed: 5, Resetting: 6, Done: 7 };
export const Channel = { Page: 0, SimLine: 1 };
export const FormatCodes = ['raw', 'Intel HEX', 'Motorola S-record', 'ELF'];
const ASYNC_STACK = 16384;

// The module compiled while it downloads, so the page can start it before anything else; a
// host that serves .wasm with another type gets the slower path rather than a page that does
// not start.
export function compileModule(response) {
  const fallback = response.clone();
  return WebAssembly.compileStreaming(response)
    .catch(async () => WebAssembly.compile(await fallback.arrayBuffer()));
}

// bytes: the module's bytes, its fetch Response or compileModule's Module. host: read(count) -> Promise<Uint8Array>, write(Uint8Array) -> count, purge(), error() -> 0
// or a code, nowMs(), sleep(ms) -> Promise, trace(piece), status(text); each may be replaced
// later through engine.host.
export async function loadEngine(bytes, host) {
  const engine = { host };
  let x = null;
  const mem = () => new Uint8Array(x.memory.buffer);
  const text = (ptr) => {
    const m = mem();
    let end = ptr;
    while (m[end]) end++;
    return new TextDecoder().decode(m.subarray(ptr, end));
  };
  let pending = null; // the promise a suspended import waits on
  let rewinding = false;
  let resumed;        // what the suspended import returns once rewound
  let asyncData = 0;
  const suspend = (start, finish) => (...args) => {
    if (rewinding) {
      x.asyncify_stop_rewind();
      rewinding = false;
      return finish(resumed, ...args);
    }
    pending = start(...args).then((value) => { resumed = value; });
    x.asyncify_start_unwind(asyncData);
    return 0;
  };
  const env = {
    port_read: suspend((ptr, count) => engine.host.read(count), (got, ptr) => {
      mem().set(got, ptr);
      return got.length;
    }),
    sleep_ms: suspend((ms) => engine.host.sleep(ms), () => 0),
    port_write: (ptr, count) => engine.host.write(mem().slice(ptr, ptr + count)),
    port_purge: () => engine.host.purge(),
    port_error: () => engine.host.error(),
    now_ms: () => engine.host.nowMs() >>> 0,
    trace: (ptr) => engine.host.trace(text(ptr)),
    status: (ptr) => engine.host.status(text(ptr)),
  };
  // The trace and status reach the page through env; stdio is never written, but the C library
  // links its stream functions all the same.
  const wasi = { fd_write: () => 8, fd_close: () => 0, fd_seek: () => 8, fd_fdstat_get: () => 8 };
  const imports = { env, wasi_snapshot_preview1: wasi };
  let instance;
  if (bytes instanceof WebAssembly.Module) {
    instance = await WebAssembly.instantiate(bytes, imports);
  } else if (bytes instanceof Response) {
    instance = await WebAssembly.instantiate(await compileModule(bytes), imports);
  } else {
    instance = (await WebAssembly.instantiate(bytes, imports)).instance;
  }
  x = instance.exports;
  x._initialize();
  x.web_init();
  asyncData = x.web_alloc(ASYNC_STACK);
  new Int32Array(x.memory.buffer, asyncData, 2).set([asyncData + 8, asyncData + ASYNC_STACK]);

  let busy = false;
  // One job_step, however often it waits: each wait unwinds it, each resume rewinds it.
  // engine.waited says whether it did, so the page knows its event loop has turned meanwhile.
  engine.step = async () => {
    if (busy) throw new Error('a step is already running');
    busy = true;
    engine.waited = false;
    try {
      let state = x.web_job_step();
      while (pending) {
        engine.waited = true;
        x.asyncify_stop_unwind();
        const wait = pending;
        pending = null;
        await wait;
        rewinding = true;
        x.asyncify_start_rewind(asyncData);
        state = x.web_job_step();
      }
      return state;
    } finally {
      busy = false;
    }
  };

  const withBytes = (data, fn) => {
    const ptr = x.web_alloc(data.length);
    if (!ptr) return null;
    try {
      mem().set(data, ptr);
      return fn(ptr);
    } finally {
      x.web_free(ptr);
    }
  };
  engine.formatOf = (head) => withBytes(head, (ptr) => x.web_format_of(ptr, head.length));
  engine.limitOf = (code) => x.web_limit(code);
  engine.isReply = (data) =>
    data.length >= 4 && withBytes(data, (ptr) => x.web_bytes_are_reply(ptr, data.length)) === 1;
  // The loader's verdict on a file's contents; the job's image changes only when accepted.
  engine.loadImage = (name, data) => {
    const nameBytes = new TextEncoder().encode(name + '\0');
    const ok = withBytes(nameBytes, (namePtr) =>
      withBytes(data, (ptr) => x.web_image_load(namePtr, ptr, data.length)));
    if (ok === null) return { ok: false, error: `${name}: not enough memory for the file` };
    if (!ok) return { ok: false, error: text(x.web_error()) };
    return { ok: true, format: text(x.web_image_format()), length: x.web_image_length(),
      size: x.web_image_size(), crc: x.web_image_crc() };
  };
  engine.start = (channel) => x.web_job_start(channel) !== 0;
  engine.state = () => x.web_job_state();
  engine.offset = () => x.web_job_offset();
  engine.echoes = () => x.web_job_echoes();
  engine.quietMs = () => x.web_job_quiet_ms();
  engine.noAnswerMs = x.web_no_answer_ms();
  engine.regionCrc = () => x.web_region_crc();
  engine.cancel = () => x.web_job_cancel();
  engine.busy = () => busy;
  engine.sim = {
    start: (flipWrite = 0, programMs = 0, flashKiB = 0) =>
      x.web_sim_start(flipWrite, programMs, flashKiB),
    nowUs: () => x.web_sim_now_us(),
    advance: (us) => x.web_sim_advance(us),
    crc: (length) => x.web_sim_crc(length),
  };
  return engine;
}

// CRC text as quarv-flash writes it.
export const crcText = (crc) => '0x' + crc.toString(16).padStart(4, '0');
