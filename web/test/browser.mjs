// Debian's Chromium, headless, driven by playwright-core, with a fresh profile per launch.
// It trusts the development certificate by its public-key hash only
// (--ignore-certificate-errors-spki-list), so every other certificate error still counts.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { spkiHash } from '../demo/server.mjs';

export const CHROMIUM = process.env.CHROMIUM_PATH ?? '/usr/bin/chromium';

/** Launches Chromium trusting `certificatePem`. Returns { page, errors, close }. */
export async function launchChromium(certificatePem) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'norvane-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    viewport: { width: 1280, height: 900 },
    args: [
      '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', `--ignore-certificate-errors-spki-list=${spkiHash(certificatePem)}`,
    ],
  });
  const page = context.pages()[0] ?? await context.newPage();
  // Every console error and uncaught exception of the page, for the tests to check.
  const errors = [];
  page.on('console', (message) => { if (message.type() === 'error') errors.push(message.text()); });
  page.on('pageerror', (error) => errors.push(String(error)));
  return {
    context,
    page,
    errors,
    async close() {
      await context.close();
      fs.rmSync(profile, { recursive: true, force: true });
    },
  };
}
