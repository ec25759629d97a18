// The clip media route seen from real clients: curl with byte ranges, ffprobe
// reading a clip over HTTP, and Debian's Chromium playing and seeking a real
// H.264/AAC clip, with a clip large enough for the 16 MiB range cap.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import { createRequire } from 'node:module';
import { randomBytes } from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

const require = createRequire(import.meta.url);
const { chromium } = require('playwright-core');

const CLIP = '2026-01-05/Muertes/CRVN_2026-01-05_21-03-11_muerte.mp4';
const BIG = '2026-01-05/Manual/CRVN_2026-01-05_21-04-00.mp4';
let home, clips, server, S, browser;

function run(cmd, args) {
  const r = spawnSync(cmd, args, { encoding: 'buffer', maxBuffer: 256 * 1024 * 1024 });
  if (r.status !== 0) throw new Error(`${cmd} ${args.join(' ')}: ${r.stderr}`);
  return r.stdout;
}

function startServer(programFolder) {
  const token = randomBytes(16).toString('hex');
  const bin = path.join(process.env.CORVANE_BUILD_DIR, 'apps', 'corvane', 'http_serve');
  server = spawn(bin, [token, '600', programFolder], { stdio: ['pipe', 'pipe', 'inherit'] });
  return new Promise((resolve, reject) => {
    let out = '';
    const timer = setTimeout(() => reject(new Error('http_serve did not start')), 20000);
    server.on('error', reject);
    server.stdout.on('data', (d) => {
      out += d;
      const m = out.match(/^(\d+)\n/);
      if (m) {
        clearTimeout(timer);
        resolve({ token, base: `http://127.0.0.1:${m[1]}` });
      }
    });
  });
}

const url = (name, extra = '') => `${S.base}/clip?t=${S.token}&ruta=${encodeURIComponent(name)}${extra}`;

before(async () => {
  home = fs.mkdtempSync(path.join(os.tmpdir(), 'corvane-media-'));
  clips = path.join(home, 'clips');
  fs.mkdirSync(path.join(home, 'data'), { recursive: true });
  fs.mkdirSync(path.join(clips, path.dirname(CLIP)), { recursive: true });
  fs.mkdirSync(path.join(clips, path.dirname(BIG)), { recursive: true });
  fs.writeFileSync(path.join(home, 'data', 'corvane.ini'), `[general]\ncarpeta_clips = ${clips}\n`);
  const lavfi = (v) => ['-hide_banner', '-loglevel', 'error', '-f', 'lavfi', '-i', v,
    '-f', 'lavfi', '-i', 'sine=frequency=440:sample_rate=48000'];
  // Moov at the end, as the recorder writes it: the browser must ask for it by range.
  run('ffmpeg', [...lavfi('testsrc2=size=640x360:rate=30:duration=8'), '-t', '8',
    '-c:v', 'libx264', '-preset', 'ultrafast', '-g', '30', '-pix_fmt', 'yuv420p',
    '-c:a', 'aac', '-b:a', '128k', path.join(clips, CLIP)]);
  // Noise keeps it large: over two 16 MiB ranges.
  run('ffmpeg', [...lavfi('testsrc2=size=640x360:rate=30:duration=6,noise=alls=100:allf=t'), '-t', '6',
    '-c:v', 'libx264', '-preset', 'ultrafast', '-qp', '4', '-g', '30', '-pix_fmt', 'yuv420p',
    '-c:a', 'aac', path.join(clips, BIG)]);
  S = await startServer(home);
  browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--no-proxy-server', '--autoplay-policy=no-user-gesture-required', '--mute-audio'],
  });
});

after(async () => {
  if (browser) await browser.close();
  if (server) {
    server.stdin.end();
    server.kill();
  }
  if (home) fs.rmSync(home, { recursive: true, force: true });
});

test('curl reads every range case byte for byte', () => {
  const file = fs.readFileSync(path.join(clips, CLIP));
  const size = file.length;
  // [Range, status, first byte, last byte]: 206 sends those bytes, 200 the
  // whole clip (a header that is not one byte range is ignored), 416 nothing.
  const cases = [
    ['0-', 206, 0, size - 1],
    ['100-199', 206, 100, 199],
    [`${size - 100}-${size + 1000}`, 206, size - 100, size - 1],
    ['-500', 206, size - 500, size - 1],
    [`-${size + 10}`, 206, 0, size - 1],
    [`${size}-`, 416],
    [`${size + 5}-`, 416],
    ['-0', 416],
    ['5-2', 200],
    ['0-10,20-30', 200],
    ['x-5', 200],
  ];
  for (const [range, status, start, end] of cases) {
    const out = run('curl', ['-s', '--noproxy', '*', '-D', '-', '-H', `Range: bytes=${range}`, url(CLIP)]);
    const split = out.indexOf('\r\n\r\n');
    const head = out.subarray(0, split).toString();
    const body = out.subarray(split + 4);
    assert.equal(head.split('\r\n')[0].split(' ')[1], String(status), `${range}: ${head}`);
    if (status === 206) {
      assert.ok(head.includes(`\r\nContent-Range: bytes ${start}-${end}/${size}\r\n`), `${range}: ${head}`);
      assert.ok(body.equals(file.subarray(start, end + 1)), range);
    } else if (status === 416) {
      assert.ok(head.includes(`\r\nContent-Range: bytes */${size}\r\n`), `${range}: ${head}`);
      assert.equal(body.length, 0, range);
    } else {
      assert.ok(!head.includes('Content-Range'), `${range}: ${head}`);
      assert.ok(body.equals(file), range);
    }
  }
  const whole = run('curl', ['-s', '--noproxy', '*', url(CLIP)]);
  assert.ok(whole.equals(file));
  const code = run('curl', ['-s', '--noproxy', '*', '-o', '/dev/null', '-w', '%{http_code}',
    `${S.base}/clip?t=${S.token}&ruta=..%2Fdata%2Fcorvane.ini`]).toString();
  assert.equal(code, '404');
});

test('a large clip is fetched whole in capped ranges', () => {
  const file = fs.readFileSync(path.join(clips, BIG));
  assert.ok(file.length > 2 * 16777217, `clip of ${file.length} bytes is too small for the test`);
  const parts = [];
  let at = 0;
  while (at < file.length) {
    const out = run('curl', ['-s', '--noproxy', '*', '-D', '-', '-H', `Range: bytes=${at}-`, url(BIG)]);
    const split = out.indexOf('\r\n\r\n');
    const head = out.subarray(0, split).toString();
    const length = Number(head.match(/\r\nContent-Length: (\d+)/)[1]);
    assert.ok(length <= 16777217, head);
    parts.push(out.subarray(split + 4));
    at += length;
  }
  assert.ok(parts.length >= 3);
  assert.ok(Buffer.concat(parts).equals(file));
});

test('ffprobe reads the clip over HTTP', () => {
  const out = JSON.parse(run('ffprobe', ['-v', 'error', '-show_entries', 'stream=codec_name:format=duration',
    '-of', 'json', url(CLIP)]).toString());
  assert.deepEqual(out.streams.map((s) => s.codec_name).sort(), ['aac', 'h264']);
  assert.ok(Math.abs(Number(out.format.duration) - 8) < 0.2, out.format.duration);
  // Decoding every frame reads the whole clip through many ranges.
  const frames = run('ffprobe', ['-v', 'error', '-count_frames', '-select_streams', 'v:0',
    '-show_entries', 'stream=nb_read_frames', '-of', 'csv=p=0', url(CLIP)]).toString().trim();
  assert.equal(frames, '240');
});

test('Chromium plays and seeks a clip through the route', async () => {
  const page = await browser.newPage();
  const foreign = [];
  page.on('request', (r) => { if (!r.url().startsWith(S.base)) foreign.push(r.url()); });
  await page.goto(`${S.base}/api/visor?t=${S.token}&a=disco`);  // same origin, a blank script page
  const result = await page.evaluate(async (src) => {
    const v = document.createElement('video');
    v.muted = true;
    document.body.appendChild(v);
    // Every wait has a generous deadline, so a stuck player fails instead of hanging.
    const once = (name) => new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error(`no ${name} within 60 s`)), 60000);
      v.addEventListener(name, (e) => { clearTimeout(timer); resolve(e); }, { once: true });
      v.addEventListener('error', () => reject(new Error(`media error ${v.error && v.error.code}`)), { once: true });
    });
    const until = (cond, what) => new Promise((resolve, reject) => {
      const end = Date.now() + 60000;
      const check = () => (cond() ? resolve()
        : Date.now() > end ? reject(new Error(`${what} not reached within 60 s`)) : setTimeout(check, 50));
      check();
    });
    const playable = v.canPlayType('video/mp4; codecs="avc1.42E01E, mp4a.40.2"');
    v.src = src;
    await once('loadedmetadata');
    const duration = v.duration;
    await v.play();
    await new Promise((r) => setTimeout(r, 300));
    v.currentTime = 6.5;
    await once('seeked');
    const seekedAt = v.currentTime;
    await until(() => v.currentTime > 6.6, 'playback past the seek point');
    return { playable, duration, seekedAt, w: v.videoWidth, h: v.videoHeight, playing: !v.paused };
  }, url(CLIP));
  assert.notEqual(result.playable, '');
  assert.ok(Math.abs(result.duration - 8) < 0.2, String(result.duration));
  assert.ok(Math.abs(result.seekedAt - 6.5) < 0.5, String(result.seekedAt));
  assert.equal(result.w, 640);
  assert.equal(result.h, 360);
  assert.equal(result.playing, true);
  assert.deepEqual(foreign, []);
  await page.close();
});

test('Chromium seeks past the first 16 MiB range of a large clip', async () => {
  const page = await browser.newPage();
  await page.goto(`${S.base}/api/visor?t=${S.token}&a=disco`);
  const result = await page.evaluate(async (src) => {
    const v = document.createElement('video');
    v.muted = true;
    document.body.appendChild(v);
    // Every wait has a generous deadline, so a stuck player fails instead of hanging.
    const once = (name) => new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error(`no ${name} within 60 s`)), 60000);
      v.addEventListener(name, (e) => { clearTimeout(timer); resolve(e); }, { once: true });
      v.addEventListener('error', () => reject(new Error(`media error ${v.error && v.error.code}`)), { once: true });
    });
    const until = (cond, what) => new Promise((resolve, reject) => {
      const end = Date.now() + 60000;
      const check = () => (cond() ? resolve()
        : Date.now() > end ? reject(new Error(`${what} not reached within 60 s`)) : setTimeout(check, 50));
      check();
    });
    v.src = src;
    await once('loadedmetadata');
    v.currentTime = 5;
    await once('seeked');
    await until(() => v.readyState >= 2, 'data at the seek point');
    return { at: v.currentTime, ready: v.readyState };
  }, url(BIG));
  assert.ok(Math.abs(result.at - 5) < 0.5, String(result.at));
  assert.ok(result.ready >= 2, String(result.ready));
  await page.close();
});

test('the viewer script hands its result to the page callback', async () => {
  const page = await browser.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  await page.goto(`${S.base}/api/visor?t=${S.token}&a=disco`);
  const results = await page.evaluate(async ([token, clip]) => {
    const call = (query) => new Promise((resolve, reject) => {
      setTimeout(() => reject(new Error(`no reply to ${query} within 60 s`)), 60000);
      window.__crvnVisor = resolve;
      const s = document.createElement('script');
      s.src = `/api/visor?t=${token}&${query}`;
      s.onerror = () => reject(new Error('script failed'));
      document.head.appendChild(s);
    });
    return [
      await call(`a=archivar&v=1&clip=${encodeURIComponent(clip)}`),
      await call(`a=archivar&clip=${encodeURIComponent('</script><script>window.pwned=1</script>.mp4')}`),
      await call('a=nada'),
      window.pwned ?? null,
    ];
  }, [S.token, CLIP]);
  assert.deepEqual(results, [
    { archivado: true, ok: true },
    { ok: false, error: 'el clip ya no existe' },
    { ok: false, error: 'acción desconocida' },
    null,
  ]);
  const sidecar = JSON.parse(fs.readFileSync(path.join(clips, CLIP.replace(/\.mp4$/, '.json')), 'utf8'));
  assert.equal(sidecar.archivado, true);
  assert.deepEqual(errors, []);
  await page.close();
});
