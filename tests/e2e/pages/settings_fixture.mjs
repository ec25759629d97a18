// What the settings page tests share: the server's table of editable
// settings, a status reply, the page opened on stubbed routes, and small
// readers of what the page did.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import path from 'node:path';
import { openStubbed, until, TOKEN } from './support.mjs';

export const KEYS = [...readFileSync(path.join(process.env.CORVANE_SOURCE_DIR, 'apps/corvane/src/web/status.h'), 'utf8')
  .matchAll(/\{"(\w+)", "(\w+)", (true|false)\}/g)].map((m) => ({ s: m[1], k: m[2], live: m[3] === 'true' }));

export function status(extra = {}) {
  const valores = {};
  for (const r of KEYS) valores[r.s + '.' + r.k] = '';
  Object.assign(valores, extra.valores ?? {});
  return {
    version: '0.10.45', fecha: '2026-10-25', valores, avisos: [],
    salidas: [{ id: 'alsa_output.a', nombre: 'Audífonos', pred: true }, { id: 'alsa_output.b', nombre: 'Bocinas', pred: false }],
    microfonos: [{ id: 'alsa_input.m', nombre: 'Micro USB', pred: true }],
    reiniciar: false, avisos_corriendo: true, carpeta: '/home/u/Videos/Corvane', ini: '/x/corvane.ini', registro: '/x/corvane.log',
    detector: true, juego_al_frente: false, previa: false, juego: null,
    disco: { auto: 0, auto_n: 0, archivados: 0, archivados_n: 0, manuales: 0, manuales_n: 0, limite: 53687091200 },
    primera_vez: false, monitor: [2560, 1440], ...extra, valores,
  };
}
export const okSave = (extra = {}) => () => ({ ok: true, errores: [], avisos: [], reiniciar: false, en_vivo: false, ...extra });

export function settings(browser, { hash = '', st = status(), api = {}, ...extra } = {}) {
  return openStubbed(browser, {
    pageName: 'ajustes.html', pathAndHash: `/ajustes?t=${TOKEN}&embed=1${hash}`,
    api: { '/api/estado': () => st, '/api/guardar': okSave(), '/api/accion': () => ({ ok: true }), ...api }, ...extra,
  });
}
export const built = (page) => until(page, () => document.querySelector('section.card.on'));
// No save under way, queued or timed, and every call the page made answered
// and taken in: what the stubs recorded is all the page will send for now.
export const idle = (page) => until(page, () => !saving && pending.size === 0 && saveTimer === null
  && window.__net.asked === window.__net.done);
export const saves = (seen) => seen.calls.filter((c) => c.path === '/api/guardar').map((c) => c.body.cambios);
export const shownSection = (page) => page.evaluate(() => document.querySelector('section.card.on').id);
export const toastIs = (page, text) => until(page, (t) => document.getElementById('toast').textContent === t, text);
export const row = (page, label) => page.locator('.row', { has: page.locator('.lab', { hasText: label }) }).first();
// Aborted and failed requests log network errors in the console: expected where a test makes them.
// Waits in the test for something the route stubs record.
export async function waitFor(fn) {
  for (const end = Date.now() + 15000; Date.now() < end; await new Promise((r) => setTimeout(r, 20))) if (fn()) return;
  assert.fail('condition not met: ' + fn);
}
export const dropNetErrors = (seen) => seen.errors.splice(0, seen.errors.length, ...seen.errors.filter((e) => !/Failed to load resource|ERR_FAILED|status of 5\d\d/.test(e)));
