// The settings page on stubbed routes, part three: what it says about this
// desktop and this machine (the desktop's words, the codec really recorded)
// and the restart banner's button beside the floating one.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launch, openStubbed, finish, until, settled, DEFAULT_FOLDER, TOKEN } from './pages/support.mjs';
import { status, settings, built, row } from './pages/settings_fixture.mjs';

let browser;
before(async () => { browser = await launch(); });
after(async () => { if (browser) await browser.close(); });

// Whether the centre and four points near the corners (inside the rounded
// ones) of `sel` hit the element itself (or something inside it): what covers
// it where, if anything.
const onTop = (page, sel) => page.evaluate((q) => {
  const e = document.querySelector(q);
  const r = e.getBoundingClientRect();
  const dx = r.width * 0.2;
  const points = [[r.left + r.width / 2, r.top + r.height / 2], [r.left + dx, r.top + 2], [r.right - dx, r.top + 2],
    [r.left + dx, r.bottom - 2], [r.right - dx, r.bottom - 2]];
  const covered = [];
  for (const [x, y] of points) {
    const hit = document.elementFromPoint(x, y);
    if (!hit || !e.contains(hit)) covered.push(`${Math.round(x)},${Math.round(y)}: ${hit ? (hit.id || hit.className || hit.tagName) : 'nothing'}`);
  }
  return { covered, w: r.width, h: r.height };
}, sel);

test('the banner\'s "Reiniciar ahora" is not under the floating button, at any width, embedded or not', async () => {
  const cases = [];
  for (const embed of [true, false]) for (const width of [1360, 1100, 900, 720]) cases.push({ embed, width });
  for (const c of cases) {
    const what = JSON.stringify(c);
    const s = await openStubbed(browser, {
      pageName: 'ajustes.html', pathAndHash: `/ajustes?t=${TOKEN}${c.embed ? '&embed=1' : ''}#grabacion`,
      size: { width: c.width, height: 800 },
      api: { '/api/estado': () => status({ reiniciar: true }), '/api/accion': () => ({ ok: true }) },
    });
    const { page } = s;
    await built(page);
    await until(page, () => document.fonts.status === 'loaded');
    for (const sel of ['#restartNow', '#floatRestart']) {
      const t = await onTop(page, sel);
      assert.ok(t.w > 0 && t.h > 0, `${sel} not shown ${what}`);
      assert.deepEqual(t.covered, [], `${sel} covered ${what}: ${t.covered.join(' · ')}`);
    }
    // A real click at the button: Playwright refuses one that another element would take.
    await page.locator('#restartNow').click({ timeout: 10000 });
    await settled(page);
    assert.deepEqual(s.seen.calls.filter((x) => x.path === '/api/accion').map((x) => x.body), [{ a: 'reiniciar' }], what);
    await finish(s);
  }
});

test('the codec row names the codec the recorder really uses', async () => {
  const help = 'Si tu tarjeta no tiene el codec elegido, se usa el siguiente solo (AV1 → HEVC → H.264).';
  const cases = [
    // [status "codec", stored value, selected text, help after the fixed sentence]
    [{ pedido: 'hevc', usado: 'h264' }, '', 'Automático (H.264)', ' Ahora se graba en H.264 (este equipo no puede grabar en HEVC).'],
    [{ pedido: 'hevc', usado: 'hevc' }, '', 'Automático (HEVC)', ' Ahora se graba en HEVC.'],
    [{ pedido: 'av1', usado: 'h264' }, 'av1', 'AV1 · experimental', ' Ahora se graba en H.264 (este equipo no puede grabar en AV1).'],
    [{ pedido: 'av1', usado: 'hevc' }, 'av1', 'AV1 · experimental', ' Ahora se graba en HEVC (este equipo no puede grabar en AV1).'],
    // Chosen by hand: what the automatic choice would give here is not known.
    [{ pedido: 'h264', usado: 'h264' }, 'h264', 'H.264 · se abre en cualquier lado', ' Ahora se graba en H.264.'],
    // The recorder does not run (or an older program): the page says nothing it does not know.
    [null, '', 'Automático (HEVC)', ''],
    [{ pedido: 'x', usado: 'y' }, '', 'Automático (HEVC)', ''],
  ];
  for (const [codec, stored, selected, more] of cases) {
    const what = JSON.stringify(codec) + ' ' + stored;
    const s = await settings(browser, { hash: '#grabacion', st: status({ codec, valores: { 'avanzado.codec': stored } }) });
    await built(s.page);
    const r = row(s.page, 'Codec');
    assert.equal(await r.locator('select option:checked').textContent(), selected, what);
    assert.equal(await r.locator('.help').textContent(), help + more, what);
    const auto = await r.locator('select option[value=""]').textContent();
    const usado = codec && { hevc: 'HEVC', h264: 'H.264' }[codec.usado];
    assert.equal(auto, codec && codec.pedido !== 'h264' && usado ? `Automático (${usado})` : 'Automático (HEVC)', what);
    await finish(s);
  }
});

test('the settings and help pages name this desktop\'s parts, not another system\'s', async () => {
  const s = await settings(browser, { hash: '#audio', st: status({ primera_vez: true }) });
  const { page } = s;
  await built(page);
  assert.equal(await row(page, 'Audio del juego').locator('select option').first().textContent(), 'Predeterminado del sistema');
  assert.match(await page.locator('#welcomeBox').textContent(), /\(su ícono está junto al reloj del escritorio\)/);
  for (const label of ['Corregir HDR', 'Blanco SDR']) {
    assert.match(await row(page, label).locator('.help').textContent(), /En X11 no hay HDR: en este escritorio este ajuste no cambia nada\.$/, label);
  }
  const folder = row(page, 'Carpeta de clips');
  assert.equal(await folder.locator('input').getAttribute('placeholder'), DEFAULT_FOLDER);
  assert.equal(await folder.locator('.help').textContent(), `Vacío = ${DEFAULT_FOLDER}. Ahí vive también la lista de eventos (estadisticas.jsonl).`);
  const notices = await page.locator('#avisos .intro').textContent();
  assert.match(notices, /En este escritorio también sale en los clips/);
  assert.doesNotMatch(notices, /[Nn]unca sale/);
  assert.doesNotMatch(await page.locator('body').textContent(), /Windows|Bloc de notas/);
  await finish(s);

  const h = await openStubbed(browser, {
    pageName: 'ayuda.html', pathAndHash: `/ayuda?t=${TOKEN}&embed=1#registro`,
    api: { '/api/registro': () => ({ texto: '' }), '/api/accion': () => ({ ok: true }) },
  });
  await until(h.page, () => document.getElementById('log').textContent === '(vacío)');
  assert.equal(await h.page.locator('#logOpen').textContent(), 'Abrir en el editor de texto');
  assert.match(await h.page.locator('#actualizaciones').textContent(), /te avisa con una notificación del escritorio \(y aquí\)\./);
  assert.doesNotMatch(await h.page.locator('body').textContent(), /Windows|Bloc de notas/);
  await finish(h);
});
