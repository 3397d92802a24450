// The ES module face of index.js: the same functions and classes, not a second copy.
import { createRequire } from 'node:module';

const api = createRequire(import.meta.url)('./index.js');

export const { verify, verifyBytes, Keys, Revocations, libraryVersion } = api;
export default api;
