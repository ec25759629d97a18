// The analysis page on stubbed routes: time links and segments, the marks,
// the result cards, the progress block, and the poll state machine under a
// fake clock, with every error text; a real H.264 clip for the player.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { launch, openStubbed, finish, screenshot, until, settled, TOKEN } from './pages/support.mjs';

const CLIP = '2026-01-05/Muertes/CRVN_2026-01-05_21-03-11_muerte.mp4';
let browser, tmp, media;

before(async () => {
  browser = await launch();
  tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'corvane-analysis-'));
  const file = path.join(tmp, 'clip.mp4');
  const r = spawnSync('ffmpeg', ['-hide_banner', '-loglevel', 'error', '-f', 'lavfi', '-i', 'testsrc2=size=320x180:rate=30:duration=10',
    '-f', 'lavfi', '-i', 'sine=frequency=440:sample_rate=48000', '-t', '10', '-c:v', 'libx264', '-preset', 'ultrafast', '-g', '15',
    '-pix_fmt', 'yuv420p', '-c:a', 'aac', '-movflags', '+faststart', file]);
  assert.equal(r.status, 0, String(r.stderr));
  media = fs.readFileSync(file);
});
after(async () => {
  if (browser) await browser.close();
  if (tmp) fs.rmSync(tmp, { recursive: true, force: true });
});

// The clip route with byte ranges, as the server answers it.
function serveClip(req) {
  const m = /bytes=(\d+)-(\d*)/.exec(req.headers().range || '');
  if (!m) return { status: 200, contentType: 'video/mp4', headers: { 'Accept-Ranges': 'bytes' }, body: media };
  const start = Number(m[1]);
  const end = m[2] ? Math.min(Number(m[2]), media.length - 1) : media.length - 1;
  return { status: 206, contentType: 'video/mp4', body: media.subarray(start, end + 1),
    headers: { 'Accept-Ranges': 'bytes', 'Content-Range': `bytes ${start}-${end}/${media.length}` } };
}
const noClip = () => ({ status: 200, contentType: 'video/mp4', body: '' });

const state = (o = {}) => ({ clip: CLIP, eventos: null, guardado: null, tiene_clave: true, trabajo: null, ...o });
const job = (o = {}) => ({ etapa: 'Subiendo el clip a Google (1 MB)', pct: 10, corriendo: true, error: null, modelo: 'gemini-3.8-flash',
  segundos: 5, bitacora: [], pensamientos: [], caracteres: 0, uso: null, subida: null, ...o });
const RESULT = {
  resumen: 'Te tumbaron en 0:42 y moriste en 1:05.',
  como_fue: 'Entraste solo.', por_que: 'Sin cobertura.', punteria: 'Buena en 0:40.', posicionamiento: 'Alto.',
  errores: ['Correr en abierto'], aciertos: ['Buen tiro en 0:38'], consejos: ['Usa humo'],
  momentos: [{ segundo: 42, texto: 'Derribo <b>' }, { segundo: 3.5, texto: 'Entrada' }, { texto: 'sin segundo' }],
  justo: { nivel: 'ALTA', nota: 'Te vio a través de la pared en 0:41.', senales: ['Giro brusco en 0:40'] },
  _modelo: 'gemini-3.8-flash', _uso: { totalTokenCount: 123456 }, _fecha: '2026-01-05 21:10:00',
};

function analysis(api, extra = {}) {
  return openStubbed(browser, { pageName: 'analisis.html', pathAndHash: `/analisis?t=${TOKEN}&clip=${encodeURIComponent(CLIP)}`,
    api, clip: CLIP, files: { '/clip': noClip }, ...extra });
}
const polls = (s) => s.seen.calls.filter((c) => c.path.startsWith('/api/analisis')).length;
const shown = (page, id) => page.evaluate((i) => getComputedStyle(document.getElementById(i)).display !== 'none', id);
const text = (page, sel) => page.locator(sel).innerText();
// Moves the fake clock and waits until the page has taken the state reply
// that this fired: the reply settles the next poll (a new timer, or none).
async function pollOnce(page, ms) {
  const before = await page.evaluate(() => pollTimer);
  await page.clock.runFor(ms);
  await until(page, (b) => pollTimer !== b, before);
}
// Waits until the page has asked for its state `n` times.
async function waitPolls(s, n) {
  const end = Date.now() + 15000;
  while (polls(s) < n) {
    if (Date.now() > end) throw new Error(`${polls(s)} state calls, waited for ${n}`);
    await new Promise((r) => setTimeout(r, 20));
  }
}

test('start-up: title, file name, video address, storage boxes, the state call', async () => {
  const s = await analysis({ '/api/analisis': () => state() }, { storage: { crvn_loop: '0', crvn_slow: '1' } });
  const { page } = s;
  await until(page, () => document.querySelector('#go').disabled === false);
  assert.equal(await page.title(), 'Corvane · Análisis · CRVN_2026-01-05_21-03-11_muerte.mp4');
  assert.equal(await text(page, '#clipName'), 'CRVN_2026-01-05_21-03-11_muerte.mp4');
  assert.equal(await page.locator('video').getAttribute('src'), `/clip?t=${TOKEN}&ruta=${encodeURIComponent(CLIP)}`);
  assert.deepEqual(await page.evaluate(() => [loop.checked, slow.checked]), [false, true]);
  const call = s.seen.calls[0];
  assert.deepEqual([call.method, call.path, call.key, call.type],
    ['GET', '/api/analisis?clip=' + encodeURIComponent(CLIP), TOKEN, 'application/json']);
  assert.equal(await text(page, '#go'), 'Analizar con Gemini');
  assert.equal(await shown(page, 'prog'), false);
  assert.equal(await shown(page, 'err'), false);
  assert.equal(await shown(page, 'result'), false);
  assert.equal(await text(page, '#segText'), 'Clic en un momento del análisis para verlo aquí');
  assert.equal(await page.locator('#full').isVisible(), false);
  await finish(s);
});

test('a clip name that closes the script stays one string', async () => {
  const name = 'x/a</script><script>window.pwned=1</script>.mp4';
  const s = await openStubbed(browser, { pageName: 'analisis.html', pathAndHash: `/analisis?t=${TOKEN}`, clip: name,
    files: { '/clip': noClip }, api: { '/api/analisis': () => ({ error: 'clip no encontrado' }) } });
  await until(s.page, () => document.getElementById('err').textContent !== '');
  assert.equal(await s.page.evaluate(() => [CLIP, window.pwned ?? null, document.title].join('|')),
    `${name}||Corvane · Análisis · script>.mp4`);
  await finish(s);
});

test('seekify links m:ss times only, on escaped text', async () => {
  const s = await analysis({ '/api/analisis': () => state() });
  const rows = await s.page.evaluate(() => [
    '1:05 y 0:42', '12:05:30', '123:45 y 1:5 y a1:05', '<b>0:07</b> & "x"', 'min 9:59.', 42,
  ].map((t) => seekify(t)));
  assert.deepEqual(rows, [
    '<a class="ts" data-t="65">1:05</a> y <a class="ts" data-t="42">0:42</a>',
    '<a class="ts" data-t="725">12:05</a>:30',
    '123:45 y 1:5 y a1:05',
    '&lt;b&gt;<a class="ts" data-t="7">0:07</a>&lt;/b&gt; &amp; &quot;x&quot;',
    'min <a class="ts" data-t="599">9:59</a>.',
    '42',
  ]);
  await finish(s);
});

test('segments: links play from 2 s before to 3 s after, clamped, with the box and its button', async () => {
  // Without media the length is unknown: the segment runs to t + 3.
  const s = await analysis({ '/api/analisis': () => state({ guardado: RESULT }) });
  const { page } = s;
  await until(page, () => document.getElementById('result').classList.contains('on'));
  const links = page.locator('#result .card').first().locator('a.ts');
  assert.deepEqual(await links.allInnerTexts(), ['0:42', '1:05']);
  const cases = [[links.nth(1), 'Viendo 1:03 – 1:08', [63, 68]], [links.nth(0), 'Viendo 0:40 – 0:45', [40, 45]]];
  for (const [link, label, bounds] of cases) {
    await link.click();
    assert.equal(await text(page, '#segText'), label);
    assert.deepEqual(await page.evaluate(() => [seg.start, seg.end]), bounds);
  }
  assert.equal(await page.locator('#seg').getAttribute('class'), 'on');
  assert.equal(await page.locator('#full').isVisible(), true);
  // The rows of "Momentos clave" seek too; the first moment at 3.5 plays 1.5 to 6.5.
  await page.locator('.moment').nth(1).click();
  assert.deepEqual(await page.evaluate(() => [seg.start, seg.end]), [1.5, 6.5]);
  await page.click('#full');
  assert.equal(await text(page, '#segText'), 'Clic en un momento del análisis para verlo aquí');
  assert.equal(await page.locator('#full').isVisible(), false);
  assert.equal(await page.evaluate(() => seg), null);
  await finish(s);
});

test('the player: a moment at second 1 plays 0 to 4, loops, pauses without repeat; seeking away leaves the segment', async (t) => {
  const s = await analysis({ '/api/analisis': () => state({ eventos: { eventos: [{ segundo: 1, tipo: 'baja', enemigo: 'Rival' }] } }) },
    { files: { '/clip': serveClip } });
  const { page } = s;
  if (await page.evaluate(() => document.createElement('video').canPlayType('video/mp4; codecs="avc1.640028, mp4a.40.2"')) === '') {
    t.skip('this Chromium cannot play H.264 here');
    return finish(s);
  }
  await until(page, () => video.readyState >= 1 && document.querySelector('#marks .ts'));
  await page.locator('#marks .ts').click();
  assert.equal(await text(page, '#segText'), 'Viendo 0:00 – 0:04');
  // It loops: playback wraps from the end back to the start.
  await until(page, () => { window.maxT = Math.max(window.maxT || 0, video.currentTime); return window.maxT > 3.5 && video.currentTime < 1.5; });
  // The watch runs once a frame: a loaded machine may let a frame or two pass the end.
  assert.ok(await page.evaluate(() => window.maxT <= 4.6), 'stays inside the segment');
  // Without repeat it pauses at the end.
  await page.locator('#loop').uncheck();
  await until(page, () => video.paused);
  assert.ok(await page.evaluate(() => video.currentTime >= 3.9 && video.currentTime <= 4.6));
  assert.equal(await page.evaluate(() => localStorage.getItem('crvn_loop')), '0');
  // Playing again from the end starts the segment over, and stops at its end again.
  await page.evaluate(() => video.play());
  await until(page, () => !video.paused && video.currentTime < 1);
  await until(page, () => video.paused);
  // Ticking repeat while paused at the end plays again from the start.
  await page.locator('#loop').check();
  await until(page, () => !video.paused && video.currentTime < 2);
  // Slow motion: stored and applied; a rate chosen elsewhere moves the box.
  await page.locator('#slow').check();
  assert.deepEqual(await page.evaluate(() => [video.playbackRate, localStorage.getItem('crvn_slow')]), [0.4, '1']);
  await page.evaluate(() => { video.playbackRate = 1.5; });
  await until(page, () => slow.checked === false);
  await page.evaluate(() => { video.playbackRate = 0.4; });
  await until(page, () => slow.checked === true);
  // A seek far outside the segment ends it.
  await page.evaluate(() => { video.currentTime = 8; });
  await until(page, () => seg === null);
  assert.equal(await text(page, '#segText'), 'Clic en un momento del análisis para verlo aquí');
  // A moment cited after the clip's end plays the clip's last seconds.
  await page.evaluate(() => playSegment(30));
  assert.deepEqual(await page.evaluate(() => [seg.start, seg.end]), [5, 10]);
  await finish(s);
});

test('marks under the video', async () => {
  const eventos = { eventos: [
    { segundo: 2.5, tipo: 'baja', enemigo: 'Zeta', arma: 'M4', nivel: 55, medallas: ['Doble', 'Rápida'], atacantes: 0 },
    { segundo: 9, tipo: 'derribo', enemigo: '<i>x</i>', nivel: 0, atacantes: 2 },
    { segundo: 12, tipo: 'killcam' },
    { segundo: 20, tipo: 'fin_killcam' },
    { tipo: 'resultado' },
    { segundo: 70, tipo: 'gulag', enemigo: 'Y' },
    'basura', null,
  ] };
  const s = await analysis({ '/api/analisis': () => state({ eventos }) });
  await until(s.page, () => document.querySelectorAll('#marks .mark').length > 0);
  const rows = await s.page.evaluate(() => [...document.querySelectorAll('#marks .mark')].map((m) => [
    m.querySelector('.ts').dataset.t, m.innerText.replace(/\s+/g, ' ').trim(), m.querySelector('.lbl').className, m.querySelectorAll('b').length]));
  assert.deepEqual(rows, [
    ['2.5', '0:02 BAJA Eliminaste a Zeta M4 · nivel 55 · Doble, Rápida', 'lbl green', 1],
    ['9', '0:09 DERRIBO Te tumbó <i>x</i> 2 te disparaban', 'lbl red', 1],
    ['12', '0:12 KILLCAM Te eliminó ?', 'lbl red', 1],
    ['20', '0:20 FIN Termina la killcam', 'lbl red', 0],
    ['0', '0:00 FINAL Pantalla final', 'lbl green', 0],
    ['70', '1:10 GULAG Y', 'lbl red', 1],
  ]);
  await finish(s);
});

test('result cards: order, sections, moments, fairness, footer', async () => {
  const s = await analysis({ '/api/analisis': () => state({ guardado: RESULT }) });
  const { page } = s;
  await until(page, () => document.getElementById('result').classList.contains('on'));
  assert.deepEqual(await page.locator('#result h2').allInnerTexts(), ['RESUMEN', 'LA PELEA', 'QUÉ MEJORAR', 'MOMENTOS CLAVE', '¿FUE JUSTO?']);
  assert.deepEqual(await page.locator('#result .card').nth(1).locator('h3').allInnerTexts(), ['¿CÓMO FUE?', '¿POR QUÉ?', 'PUNTERÍA', 'POSICIONAMIENTO']);
  assert.equal(await page.locator('#result .card').nth(1).locator('a.ts').getAttribute('data-t'), '40');
  assert.deepEqual(await page.locator('#result ul.red li').allInnerTexts(), ['Correr en abierto']);
  assert.deepEqual(await page.locator('#result ul.green li a.ts').allInnerTexts(), ['0:38']);
  assert.deepEqual(await page.locator('#result ul.gold li').allInnerTexts(), ['Usa humo']);
  assert.deepEqual(await page.locator('.moment').allInnerTexts(), ['0:00\nsin segundo', '0:03\nEntrada', '0:42\nDerribo <b>']);
  assert.deepEqual(await page.evaluate(() => [...document.querySelectorAll('.moment')].map((m) => m.dataset.t)), ['0', '3.5', '42']);
  assert.equal(await page.locator('.moment a').count(), 0);
  assert.equal(await text(page, '#fair .badge'), 'SOSPECHA ALTA');
  assert.equal(await page.locator('#fair .badge').getAttribute('class'), 'badge red');
  assert.deepEqual(await page.locator('#fair a.ts').allInnerTexts(), ['0:41', '0:40']);
  assert.match(await text(page, '#fair'), /Solo es una sospecha a partir del video: la killcam tiene desfase y no es prueba de nada\. Si de verdad crees que hubo trampa, usa el reporte del juego\./);
  assert.equal(await text(page, '#foot'), 'Analizado con gemini-3.8-flash · 2026-01-05 21:10:00 · 123,456 tokens');
  assert.equal(await text(page, '#go'), 'Analizar de nuevo');
  await screenshot(page, 'analisis-resultado.png');
  await finish(s);
});

test('result tables: fairness levels, empty lists, footers', async () => {
  const s = await analysis({ '/api/analisis': () => state() });
  const { page } = s;
  await until(page, () => document.querySelector('#go').disabled === false);
  const render = (r) => page.evaluate((x) => {
    renderResult(x);
    const b = document.querySelector('#fair .badge');
    return { badge: b.textContent, cls: b.className, foot: document.getElementById('foot').textContent,
      moments: !!document.getElementById('moments'), errores: document.querySelectorAll('#result .card')[2].querySelector('p.dim, ul.red')?.outerHTML };
  }, r);
  const levels = [
    [{}, 'Sin killcam', 'badge muted'],
    [{ justo: { nivel: 'ninguna' } }, 'Se ve justa', 'badge green'],
    [{ justo: { nivel: 'Baja' } }, 'Sospecha baja', 'badge yellow'],
    [{ justo: { nivel: 'media' } }, 'Sospecha media', 'badge orange'],
    [{ justo: { nivel: 'ALTA' } }, 'Sospecha alta', 'badge red'],
    [{ justo: { nivel: 'rara' } }, 'rara', 'badge '],
    [{ justo: { nota: 'x' } }, 'Sin killcam', 'badge muted'],
  ];
  for (const [r, badge, cls] of levels) {
    const got = await render(r);
    assert.deepEqual([got.badge, got.cls], [badge, cls], JSON.stringify(r));
  }
  const other = [
    [{ momentos: [], errores: [] }, false, '<p class="dim">—</p>', 'Analizado con Gemini · '],
    [{ _modelo: 'm', _fecha: '2026-01-05 10:00:00' }, false, '<p class="dim">—</p>', 'Analizado con m · 2026-01-05 10:00:00'],
    [{ _modelo: 'm', _fecha: 'f', _uso: { totalTokenCount: 0 } }, false, '<p class="dim">—</p>', 'Analizado con m · f'],
    [{ _modelo: 'm', _fecha: 'f', _uso: null, momentos: [{ segundo: 1, texto: 'a' }], errores: ['e'] }, true, '<ul class="b red"><li>e</li></ul>', 'Analizado con m · f'],
    [{ _modelo: 'm', _fecha: 'f', _uso: { totalTokenCount: 1234567 } }, false, '<p class="dim">—</p>', 'Analizado con m · f · 1,234,567 tokens'],
  ];
  for (const [r, moments, errores, foot] of other) {
    const got = await render(r);
    assert.deepEqual([got.moments, got.errores, got.foot], [moments, errores, foot], JSON.stringify(r));
  }
  await finish(s);
});

test('a malformed stored result draws what it can and never throws', async () => {
  const s = await analysis({ '/api/analisis': () => state() });
  const { page } = s;
  await until(page, () => document.querySelector('#go').disabled === false);
  const bad = [
    { resumen: 5, como_fue: null, por_que: ['a'], errores: 'uno solo en 0:10', aciertos: { a: 1 }, consejos: [1, null, 'b', { x: 1 }],
      momentos: 'x', justo: 'alta', _modelo: 7, _fecha: null, _uso: 'mucho' },
    { momentos: [null, 3, { segundo: '9', texto: 5 }, { segundo: -4, texto: 'antes' }], justo: { nivel: 3, nota: ['x'], senales: 'una' } },
    { justo: null, _uso: { totalTokenCount: 'mil' } },
  ];
  for (const r of bad) {
    const err = await page.evaluate((x) => { try { renderResult(x); return null; } catch (e) { return String(e); } }, r);
    assert.equal(err, null, JSON.stringify(r));
  }
  // The last one with "mil" tokens: not a count, left out.
  assert.equal(await page.locator('#foot').textContent(), 'Analizado con Gemini · ');
  await page.evaluate((x) => renderResult(x), bad[0]);
  assert.deepEqual(await page.locator('#result ul.red li').allInnerTexts(), ['uno solo en 0:10']);
  assert.deepEqual(await page.locator('#result ul.gold li').allInnerTexts(), ['1', 'b']);
  assert.equal(await text(page, '#result .big'), '5');
  await page.evaluate((x) => renderResult(x), bad[1]);
  assert.deepEqual(await page.evaluate(() => [...document.querySelectorAll('.moment')].map((m) => m.dataset.t + ' ' + m.innerText)),
    ['0 0:00\nantes', '0 0:00\n5']);
  assert.equal(await text(page, '#fair .badge'), 'SIN KILLCAM');
  await finish(s);
});

test('text from replies is shown as text', async () => {
  const evil = '<img src=x onerror="window.pwned=1">';
  const s = await analysis({ '/api/analisis': () => state({
    eventos: { eventos: [{ segundo: 1, tipo: evil, enemigo: evil, arma: evil }] },
    trabajo: job({ etapa: evil, modelo: evil, pensamientos: ['**' + evil + '**'], bitacora: [{ t: 1, k: 'ok', x: evil }] }),
    guardado: { resumen: evil + ' 0:05', momentos: [{ segundo: 1, texto: evil }], justo: { nivel: evil, nota: evil }, _modelo: evil },
  }) });
  await until(s.page, () => document.getElementById('result').classList.contains('on'));
  assert.deepEqual(await s.page.evaluate(() => [window.pwned ?? null, document.querySelectorAll('img').length]), [null, 1]);
  await finish(s);
});

test('progress: bar, stage, model chip, elapsed time, log', async () => {
  const s = await analysis({ '/api/analisis': () => state({ trabajo: job({ pct: 0, segundos: 65.8, modelo: null,
    bitacora: [{ t: 0.4, k: 'paso', x: 'Análisis de x' }, { t: 3.9, k: 'ok', x: 'Clip subido' }, { t: 5, k: 'aviso', x: 'Modelo ocupado' },
      { t: null, k: 'error', x: 'Falló' }, { t: 7, k: 'otro', x: 'Otro' }] }) }) }, { clock: 'paused' });
  const { page } = s;
  await until(page, () => getComputedStyle(document.getElementById('prog')).display === 'block');
  assert.equal(await page.evaluate(() => document.getElementById('bar2').style.width), '3%');
  assert.equal(await text(page, '#stage'), 'Subiendo el clip a Google (1 MB)…');
  assert.equal(await text(page, '#model'), 'Gemini');
  assert.equal(await text(page, '#elapsed'), '1:05');
  // The 250 ms timer counts on from the last poll's figure.
  await page.clock.runFor(760);
  assert.equal(await text(page, '#elapsed'), '1:06');
  assert.deepEqual(await page.locator('#log div').allInnerTexts(),
    ['+0s › Análisis de x', '+3s ✓ Clip subido', '+5s ! Modelo ocupado', '+0s ✕ Falló', '+7s · Otro']);
  assert.deepEqual(await page.locator('#log span').evaluateAll((l) => l.map((e) => e.className)), ['ic-paso', 'ic-ok', 'ic-aviso', 'ic-error', '']);
  assert.equal(await page.locator('#go').isDisabled(), true);
  await finish(s);
});

test('progress tiles table', async () => {
  const s = await analysis({ '/api/analisis': () => state() });
  const { page } = s;
  await until(page, () => document.querySelector('#go').disabled === false);
  const MB = 1048576;
  const rows = [
    [{}, []],
    [{ subida: { enviado: 2.5 * MB, total: 40 * MB, mbps: 12.34 } }, [['2.5 / 40 MB', 'Subiendo · 12.3 Mbps']]],
    [{ subida: { enviado: MB, total: 40 * MB, mbps: null } }, [['1.0 / 40 MB', 'Subiendo · — Mbps']]],
    [{ subida: { enviado: 40 * MB, total: 40 * MB, mbps: 8 } }, [['40 MB', 'Clip subido']]],
    [{ subida: { total: null } }, [['— MB', 'Clip subido']]],
    [{ uso: { promptTokenCount: 12345, thoughtsTokenCount: 0 }, caracteres: 2048, pensamientos: ['a', 'b'] },
      [['12,345', 'Tokens del video'], ['2,048', 'Letras de respuesta'], ['2', 'Ideas de la IA']]],
    [{ uso: { thoughtsTokenCount: 900 }, caracteres: 0 }, [['900', 'Tokens pensando']]],
    [{ uso: 'x', caracteres: 'mucho' }, [['—', 'Letras de respuesta']]],
  ];
  for (const [o, want] of rows) {
    const got = await page.evaluate((j) => { document.getElementById('tiles').innerHTML = tiles(j);
      return [...document.querySelectorAll('#tiles .tile')].map((t) => [t.querySelector('b').textContent, t.querySelector('span').textContent]); }, job(o));
    assert.deepEqual(got, want, JSON.stringify(o));
  }
  await finish(s);
});

test('thoughts: the last 12, bold yellow between double asterisks, a caret on the last', async () => {
  const thoughts = Array.from({ length: 14 }, (_, i) => `Idea ${i}`);
  thoughts[12] = '**Rotación** tardía y un ** suelto';
  const s = await analysis({ '/api/analisis': () => state({ trabajo: job({ pensamientos: thoughts }) }) });
  const { page } = s;
  await until(page, () => getComputedStyle(document.getElementById('think')).display === 'block');
  // One reading of the list: the polls keep redrawing it, and an element read
  // after a redraw is detached (no style, no text).
  const got = await page.evaluate(() => {
    const ps = [...document.querySelectorAll('#thoughts p')];
    return {
      count: ps.length,
      first: ps[0].innerText,
      html: ps[10].innerHTML,
      colour: getComputedStyle(ps[10].querySelector('b')).color,
      last: [ps[11].className, ps[11].lastElementChild.textContent].join(),
      firstClass: ps[0].className,
    };
  });
  assert.deepEqual(got, {
    count: 12, first: 'Idea 2', html: '<b class="hl">Rotación</b>  tardía y un  suelto',
    colour: 'rgb(242, 194, 48)', last: 'last,▍', firstClass: '',
  });
  assert.equal(await page.locator('#tiles').innerText().then((t) => t.includes('14\nIdeas de la IA')), true);
  await screenshot(page, 'analisis-progreso.png');
  await finish(s);
});

test('without a key: notice, disabled button, asked every 4 s until a key exists, then no more polls', async () => {
  let key = false;
  const s = await analysis({ '/api/analisis': () => state({ tiene_clave: key }) }, { clock: 'paused' });
  const { page } = s;
  await until(page, () => getComputedStyle(document.getElementById('nokey')).display === 'block');
  assert.equal(await text(page, '#nokey'), 'Falta tu clave de Gemini. Ve a Configuración → IA (clic en el ícono de Corvane junto al reloj), pégala y vuelve aquí.');
  assert.equal(await page.locator('#nokey b').innerText(), 'Configuración → IA');
  assert.equal(await page.locator('#go').isDisabled(), true);
  // Time is simulated: a poll due by then has been asked for when runFor
  // returns, and `settled` waits for its reply; no real time is waited.
  await page.clock.runFor(3900);
  await settled(page);
  assert.equal(polls(s), 1);
  await pollOnce(page, 100);
  assert.equal(polls(s), 2);
  key = true;
  await page.clock.runFor(4000);
  await until(page, () => document.querySelector('#go').disabled === false);
  assert.equal(await shown(page, 'nokey'), false);
  await page.clock.runFor(20000);
  await settled(page);
  assert.equal(polls(s), 3);
  await finish(s);
});

test('a run from the button: 800 ms polls, then the result and no more polls', async () => {
  const replies = [
    state({ guardado: { resumen: 'viejo' } }),
    state({ guardado: { resumen: 'viejo' }, trabajo: job({ pct: 0, etapa: 'Preparando' }) }),
    state({ guardado: { resumen: 'viejo' }, trabajo: job({ pct: 40, etapa: 'Analizando con gemini-3.8-flash', pensamientos: ['**Hola**'] }) }),
    state({ guardado: { resumen: 'nuevo en 0:03' }, trabajo: job({ corriendo: false, pct: 100, etapa: 'Listo' }) }),
  ];
  let n = 0;
  const s = await analysis({
    '/api/analisis': () => replies[Math.min(n++, replies.length - 1)],
    '/api/analizar': () => ({ ok: true }),
  }, { clock: 'paused' });
  const { page } = s;
  await until(page, () => document.getElementById('result').classList.contains('on'));
  assert.equal(await text(page, '#result .big'), 'viejo');
  await page.click('#go');
  await until(page, () => getComputedStyle(document.getElementById('prog')).display === 'block');
  assert.deepEqual(s.seen.calls.find((c) => c.path === '/api/analizar').body, { clip: CLIP });
  assert.equal(await page.evaluate(() => document.getElementById('bar2').style.width), '3%');
  assert.equal(await page.locator('#go').isDisabled(), true);
  // The stored result stays while the new analysis runs.
  assert.equal(await text(page, '#result .big'), 'viejo');
  await page.clock.runFor(800);
  await until(page, () => document.getElementById('bar2').style.width === '40%');
  assert.equal(await text(page, '#stage'), 'Analizando con gemini-3.8-flash…');
  await page.clock.runFor(800);
  await until(page, () => getComputedStyle(document.getElementById('prog')).display === 'none');
  assert.equal(await text(page, '#result .big'), 'nuevo en 0:03');
  assert.equal(await page.locator('#go').isDisabled(), false);
  assert.equal(await shown(page, 'err'), false);
  const before = polls(s);
  await page.clock.runFor(10000);
  await settled(page);
  assert.equal(polls(s), before);
  await finish(s);
});

test('a failed run shows its error and stops; a refused start re-enables the button', async () => {
  let n = 0;
  const replies = [state(), state({ trabajo: job() }),
    state({ trabajo: job({ corriendo: false, error: 'Google no respondió (HTTP 503)' }) })];
  let start = { ok: true };
  const s = await analysis({
    '/api/analisis': () => replies[Math.min(n++, replies.length - 1)],
    '/api/analizar': () => start,
  }, { clock: 'paused' });
  const { page } = s;
  await until(page, () => document.querySelector('#go').disabled === false);
  await page.click('#go');
  await until(page, () => getComputedStyle(document.getElementById('prog')).display === 'block');
  await page.clock.runFor(800);
  await until(page, () => getComputedStyle(document.getElementById('err')).display === 'block');
  assert.equal(await text(page, '#err'), 'No se pudo analizar: Google no respondió (HTTP 503)');
  assert.equal(await shown(page, 'prog'), false);
  assert.equal(await page.locator('#go').isDisabled(), false);
  const after = polls(s);
  await page.clock.runFor(10000);
  await settled(page);
  assert.equal(polls(s), after);
  // A refusal: its text, the button back, no state call.
  start = { ok: false, error: 'Falta tu clave de Gemini: Configuración → IA.' };
  await page.click('#go');
  await until(page, (t) => document.getElementById('err').textContent === t, start.error);
  assert.equal(await page.locator('#go').isDisabled(), false);
  await settled(page);
  assert.equal(polls(s), after);
  // A start call that fails: the button comes back and the state is asked at once.
  start = { status: 500, body: 'x' };
  await page.click('#go');
  await waitPolls(s, after + 1);
  await until(page, () => document.querySelector('#go').disabled === false);
  s.seen.errors.splice(0, s.seen.errors.length, ...s.seen.errors.filter((e) => !/status of 500/.test(e)));
  await finish(s);
});

test('the server gone or the clip unknown: the message, and no more polls', async () => {
  const rows = [
    [() => ({ status: 502, body: 'x' }), 'Corvane no responde. ¿Está abierto?'],
    [() => 'abort', 'Corvane no responde. ¿Está abierto?'],
    [() => ({ error: 'clip no encontrado' }), 'clip no encontrado'],
  ];
  for (const [reply, message] of rows) {
    let n = 0;
    const s = await analysis({ '/api/analisis': () => (n++ === 0 ? state({ trabajo: job() }) : reply()) }, { clock: 'paused' });
    const { page } = s;
    await until(page, () => getComputedStyle(document.getElementById('prog')).display === 'block');
      await page.clock.runFor(800);
    await until(page, (t) => document.getElementById('err').textContent === t, message);
    assert.equal(await shown(page, 'err'), true);
    await page.clock.runFor(20000);
    await settled(page);
    assert.equal(polls(s), 2, message);
    s.seen.errors.splice(0, s.seen.errors.length, ...s.seen.errors.filter((e) => !/Failed to load resource|status of 502/.test(e)));
    await finish(s);
  }
});

test('a malformed reply during a run never stops the polling', async () => {
  const odd = [
    state({ trabajo: job({ pct: 'x', segundos: 'y', subida: { enviado: 'a', total: null, mbps: null }, uso: [1], caracteres: null,
      pensamientos: 'no es lista', bitacora: [null, 'x', { t: 'z' }], etapa: 7, modelo: {} }), guardado: 'texto', eventos: [1, 2] }),
    state({ trabajo: job({ pensamientos: [null, 5, { a: 1 }], bitacora: {} }), guardado: { justo: { nivel: [] }, momentos: { a: 1 } }, eventos: { eventos: 'x' } }),
    state({ trabajo: job({ pct: 250 }) }),
    state({ trabajo: job({ corriendo: false }), guardado: { resumen: 'al fin' } }),
  ];
  let n = 0;
  const s = await analysis({ '/api/analisis': () => odd[Math.min(n++, odd.length - 1)] }, { clock: 'paused' });
  const { page } = s;
  await until(page, () => getComputedStyle(document.getElementById('prog')).display === 'block');
  assert.equal(await text(page, '#elapsed'), '0:00');
  for (let i = 0; i < 3; i++) await pollOnce(page, 800);
  await until(page, () => document.getElementById('result').classList.contains('on'));
  assert.equal(await text(page, '#result .big'), 'al fin');
  assert.equal(polls(s), 4);
  await finish(s);
});
